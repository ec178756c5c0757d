// The data store document against its file, and the facade every caller uses:
// first use, the fixed text on disk, failures that must never damage or lose
// a file, and the facade's locking and saving rules.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

#include <ctime>
#include <thread>

namespace {

namespace kit = datastorekit;

class DataStoreTest : public kit::ProvisionedStoreTest {};

TEST_F(DataStoreTest, WithoutKeyOrPathNothingIsReadOrWritten)
{
    const std::vector<BYTE> existing = kit::Encipher(L"{ \"Entitlement\":{\"k\":\"v\"} }");
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {  // value null: deleted
        {L"DataStore", nullptr}, {L"DataStore", L"0123"}, {L"DBPath", nullptr}, {L"DBPath", L""}};
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name) + L"=" + (value ? value : L"(none)")));
        kit::Provision();
        kit::Write(existing);
        value ? testmachine::SetString(qelkeys::kCore, name, value) : testmachine::DeleteValue(qelkeys::kCore, name);
        TestLog().Clear();

        CQelJsonFormat document;
        EXPECT_EQ(document.LoadData(), 1359u);
        document.SetEntParameter(L"k", L"changed");
        EXPECT_EQ(document.SaveData(), 1359u);
        EXPECT_TRUE(TestLog().Has(L"Failed to initialize objects for reading JSON file"));
        EXPECT_TRUE(TestLog().Has(L"Failed to initialize objects for writing JSON file"));
        EXPECT_EQ(TestLog().Has(L"Error in file path or keyBlob empty"), name == std::wstring(L"DBPath"));
        EXPECT_EQ(kit::FileBytes(), existing);
        EXPECT_FALSE(testmachine::FileExists(kit::UnreadableCopy()));
        // A path without its folder would have been "\qeldata.dat" at the root of the drive.
        EXPECT_FALSE(testmachine::FileExists(L"C:\\qeldata.dat"));
    }
}

TEST_F(DataStoreTest, AShortKeyBlobIsPadded)
{
    // A plaintext AES-256 blob is naturally 44 bytes; the provider is always handed 140, the rest zeros.
    std::vector<BYTE> shortBlob = kit::KeyBlob(kit::TestKey());
    shortBlob.resize(44);
    kit::SetKeyBlob(shortBlob);
    CQelJsonFormat document;
    document.SetEntParameter(L"k", L"v");
    ASSERT_EQ(document.SaveData(), 0u);
    EXPECT_EQ(kit::StoreText(),
              L"{ \"oobe\":{},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{},\"Entitlement\":{\"k\":\"v\"} }");
    EXPECT_TRUE(TestLog().Has(L"The data store key blob holds 44 bytes instead of 140"));
}

TEST_F(DataStoreTest, FacadeCreatesTheStoreAndKeepsNothingBetweenCalls)
{
    const long long before = std::time(nullptr);
    CQelPersistenceData store;
    ASSERT_EQ(store.InitializeDatabase(), 0u);
    std::wstring time;
    ASSERT_EQ(store.GetOobeParameter(L"InitializeDbTime", time), 0u);
    EXPECT_GE(std::stoll(time), before);
    EXPECT_EQ(kit::StoreText(), L"{ \"oobe\":{\"InitializeDbTime\":\"" + time + L"\",\"oobestate\":\"0\"},"
                                L"\"Packages\":[],\"ScheduleTask\":[],\"eula\":{\"eulastate\":\"0\"},\"Entitlement\":{} }");

    // Another program replaces the file: the next call sees only its content, and keeps its members.
    kit::WriteStoreText(L"{\"Entitlement\":{\"theirs\":\"2\"},\"Queue\":[{\"id\":\"7\"}]}");
    std::wstring value = L"unchanged";
    EXPECT_EQ(store.GetOobeParameter(L"InitializeDbTime", value), 1168u);
    EXPECT_EQ(value, L"unchanged");
    ASSERT_EQ(store.SetEntParameter(L"mine", L"3"), 0u);
    EXPECT_EQ(kit::StoreText(), L"{ \"oobe\":{},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{},"
                                L"\"Entitlement\":{\"mine\":\"3\",\"theirs\":\"2\"},\"Queue\":[{\"id\":\"7\"}] }");
}

TEST_F(DataStoreTest, FacadeResultsFollowTheSavingRule)
{
    // An unreadable file: the getters find nothing and never write, but it is kept.
    const std::vector<BYTE> damaged(333, 0x5A);
    kit::Write(damaged);
    CQelPersistenceData store;
    int state = 42;
    std::wstring value = L"unchanged";
    StringList names;
    EXPECT_EQ((std::vector<DWORD>{store.GetOobeState(state), store.GetEulaState(state),
                                  store.GetOobeParameter(L"completedtime", value), store.GetEulaParameter(L"x", value),
                                  store.GetPkgParameter(L"p", L"x", value), store.GetScheduleTaskNames(names)}),
              (std::vector<DWORD>{1168, 1168, 1168, 1168, 2, 1168}));
    EXPECT_EQ(state, 42);
    EXPECT_EQ(value, L"unchanged");
    EXPECT_EQ(kit::FileBytes(), damaged);
    EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), damaged);

    // A change is saved over it and seen by the next call.
    EXPECT_EQ(store.SetOobeState(2), 0u);
    EXPECT_EQ(store.GetOobeState(state), 0u);
    EXPECT_EQ(state, 2);

    // A failed save is what a changing operation reports; the file stays as it was.
    const std::vector<BYTE> before = kit::FileBytes();
    CQelDbAutoSave(false).GetJsonFormat()->ResetData();
    testmachine::DeleteValue(qelkeys::kCore, L"DataStore");
    EXPECT_EQ(store.SetEntParameter(L"k", L"v"), 1359u);
    EXPECT_EQ(kit::FileBytes(), before);
}

// Exposes the process-local lock, or runs without one.
class LockProbe : public CQelPersistenceData {
public:
    explicit LockProbe(bool withoutLock = false) : m_withoutLock(withoutLock) {}
    HANDLE Lock() const { return CQelPersistenceData::processLock(); }

protected:
    HANDLE processLock() const override { return m_withoutLock ? nullptr : CQelPersistenceData::processLock(); }

private:
    bool m_withoutLock;
};

TEST_F(DataStoreTest, ProcessLockSerialisesAllButTheStatusGetters)
{
    const HANDLE lock = LockProbe().Lock();
    ASSERT_NE(lock, nullptr) << "made before the entry point";
    CQelPersistenceData store;
    ASSERT_EQ(store.SetEntParameter(L"k", L"v"), 0u);
    // This thread holds the lock; it is re-entrant for its holder.
    ASSERT_EQ(::WaitForSingleObject(lock, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(store.SetEntParameter(L"nested", L"1"), 0u);

    // On another thread the status getters, and a facade without a lock, do not wait for it; the rest does.
    ScopedHandle unlockedDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ScopedHandle setDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<DWORD> rcs(4, 9);
    std::thread other([&] {
        std::wstring value;
        StringMap all;
        rcs[0] = store.GetEntParameter(L"k", value);
        rcs[1] = store.GetEntParameters(all);
        rcs[2] = LockProbe(true).SetEntParameter(L"unlocked", L"1");
        ::SetEvent(unlockedDone.Get());
        rcs[3] = store.SetEntParameter(L"waited", L"1");
        ::SetEvent(setDone.Get());
    });
    EXPECT_EQ(::WaitForSingleObject(unlockedDone.Get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(::WaitForSingleObject(setDone.Get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
    ::ReleaseMutex(lock);
    other.join();
    EXPECT_EQ(rcs, std::vector<DWORD>(4, 0));
    StringMap all;
    EXPECT_EQ(store.GetEntParameters(all), 0u);
    EXPECT_EQ(all, (StringMap{{L"k", L"v"}, {L"nested", L"1"}, {L"unlocked", L"1"}, {L"waited", L"1"}}));
}

}  // namespace
