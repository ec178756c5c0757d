// What any user can make or hold beside the data store, through the real
// program: its all-users mutex, held; names beside the store, planted.
#include "tests/reliability/Reliability.h"

#include "config/QELConfig.h"

#include <thread>

namespace {

namespace kit = datastorekit;
using reliability::Has;

// Another program's hold on the store's mutex (taken the way every program
// takes it), let go after `holdMs` or when the holder ends.
class MutexHolder {
public:
    explicit MutexHolder(DWORD holdMs) : m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        ScopedHandle taken(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_thread = std::thread([this, holdMs, &taken] {
            CSingleMutexForAllUser mutex(qeldb::kMutexName);
            CSingleMutexForAllUserGrab held(mutex);
            ::SetEvent(taken.Get());
            ::WaitForSingleObject(m_stop.Get(), holdMs);
        });
        ::WaitForSingleObject(taken.Get(), INFINITE);
    }
    ~MutexHolder() { ::SetEvent(m_stop.Get()), m_thread.join(); }

private:
    ScopedHandle m_stop;
    std::thread m_thread;
};

TEST_F(ReliabilityTest, AStoreMutexHeldByAnotherProgramStopsNoRun)
{
    const struct {
        const wchar_t* what;
        DWORD holdMs;
        int runs;
        const wchar_t* count;  // "autodownloadcount" afterwards (4 before)
    } rows[] = {
        {L"let go within the wait", 1000, 1, L"5"},
        {L"held for ever: this run and the next end", INFINITE, 2, L"4"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.what)));
        Provision({});
        // The run's wait, shortened (an administrator may shorten it, never lengthen it).
        testmachine::SetDword(qelkeys::kCore, L"DataStoreWaitInSec", 2);
        {
            MutexHolder holder(row.holdMs);
            for (int run = 0; run < row.runs; ++run) {
                const Texts lines = Job();
                EXPECT_EQ(Has(lines, L"could not take the data store lock " + std::wstring(qeldb::kMutexName)),
                          row.holdMs == INFINITE);
            }
        }
        EXPECT_NE(kit::StoreText().find(L"\"autodownloadcount\":\"" + std::wstring(row.count) + L"\""),
                  std::wstring::npos)
            << testing::PrintToString(kit::StoreText());
    }
}

// A name beside the store that a user made first (a leftover of an
// interrupted save looks like the plain file), never followed: the store is
// saved, or an unreadable one kept, and the file a link points to stays as it was.
TEST_F(ReliabilityTest, NamesPlantedBesideTheStoreAreNeverFollowed)
{
    const std::wstring victim = L"C:\\users\\Public\\victim.dat";
    const std::vector<BYTE> keep{'k', 'e', 'e', 'p'}, left{'l', 'e', 'f', 't'}, unreadable(64, 0x42);
    enum class Plant { None, PlainFile, Link, HardLink };
    for (const wchar_t* suffix : {L".new", L".unreadable"}) {
        for (const Plant plant : {Plant::None, Plant::PlainFile, Plant::Link, Plant::HardLink}) {
            SCOPED_TRACE(testing::PrintToString(std::wstring(suffix) + L" " + std::to_wstring(static_cast<int>(plant))));
            Provision({});
            const std::wstring name = kit::StoreFile() + suffix;
            testmachine::WriteBytes(victim, keep.data(), keep.size());
            const bool keepsUnreadable = std::wstring(suffix) == L".unreadable";
            if (keepsUnreadable) kit::Write(unreadable);
            if (plant == Plant::PlainFile) testmachine::WriteBytes(name, left.data(), left.size());
            if (plant == Plant::Link) testmachine::MakeLink(name, victim);
            if (plant == Plant::HardLink) {
                ASSERT_TRUE(::CreateHardLinkW(name.c_str(), victim.c_str(), nullptr));
            }

            Job();
            EXPECT_EQ(testmachine::ReadBytes(victim), keep);
            if (keepsUnreadable) {
                EXPECT_EQ(testmachine::ReadBytes(name), unreadable);
                EXPECT_NE(kit::StoreText().find(L"\"Entitlement\":{"), std::wstring::npos) << "a fresh store";
            } else {
                EXPECT_FALSE(testmachine::FileExists(name));
                EXPECT_NE(kit::StoreText().find(L"\"autodownloadcount\":\"5\""), std::wstring::npos);
            }
        }
    }
}

}  // namespace
