// Several processes on one data store: their cycles are serialised by the
// cross-process mutex, so the file is never damaged and no update is lost; a
// mutex left by an owner that ended is taken over.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

namespace kit = datastorekit;

std::wstring Pid() { return std::to_wstring(::GetCurrentProcessId()); }

class DataStoreProcessTest : public kit::ProvisionedStoreTest {};

TEST_F(DataStoreProcessTest, FourProcessesAtOnceNeverDamageTheFile)
{
    constexpr int kWorkers = 4, kCycles = 200;
    // Start from an existing store: a missing file is a (normal) failed load.
    ASSERT_EQ(CQelPersistenceData().InitializeDatabase(), 0u);
    const std::wstring startName = L"Global\\QelTest-start-" + Pid();
    ScopedHandle start(::CreateEventW(nullptr, TRUE, FALSE, startName.c_str()));
    ASSERT_TRUE(start);
    std::vector<ScopedHandle> workers;  // test_helper processes (tests/helpers)
    for (int i = 0; i < kWorkers; ++i) {
        const std::wstring arguments = std::to_wstring(kCycles) + L" " + std::to_wstring(i) + L" " + startName;
        workers.push_back(testmachine::StartProgram(testmachine::BinDir() + L"\\test_helper.exe", L"cycles " + arguments));
    }
    ::SetEvent(start.Get());
    // Each worker fails on any failed load, save, lock or change.
    for (int i = 0; i < kWorkers; ++i) {
        DWORD code = 99;
        if (::WaitForSingleObject(workers[i].Get(), 300000) != WAIT_OBJECT_0) ::TerminateProcess(workers[i].Get(), 99);
        ::GetExitCodeProcess(workers[i].Get(), &code);
        EXPECT_EQ(code, 0u) << "worker " << i;
    }
    EXPECT_FALSE(testmachine::FileExists(kit::UnreadableCopy()));
    CQelJsonFormat document;
    ASSERT_EQ(document.LoadData(), 0u) << "the file is whole";
    StringMap all, last;
    ASSERT_EQ(document.GetEntParameters(all), 0u);
    // A saving cycle holds the mutex from its load to its save, so no worker's
    // save is lost: each one's last value is there.
    for (int i = 0; i < kWorkers; ++i) last[L"worker" + std::to_wstring(i)] = std::to_wstring(kCycles - 1);
    EXPECT_EQ(all, last);
}

TEST_F(DataStoreProcessTest, AMutexLeftByAnEndedOwnerIsTakenOver)
{
    ASSERT_EQ(CQelPersistenceData().SetEntParameter(L"before", L"1"), 0u);
    // An owner that ends holding the mutex (a killed program, here a thread) leaves it abandoned.
    ScopedHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, qeldb::kMutexName));
    ASSERT_TRUE(mutex);
    std::thread([&] { ::WaitForSingleObject(mutex.Get(), INFINITE); }).join();

    TestLog().Clear();
    CQelPersistenceData store;
    EXPECT_EQ(store.SetEntParameter(L"after", L"2"), 0u);
    const auto lines = TestLog().Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].text.rfind(L"Process: " + Pid() + L" failed to acquire lock, GetLastError = ", 0), 0u);
    EXPECT_EQ(lines[0].level, 4u);

    // This process now owns it normally; nothing more is logged.
    TestLog().Clear();
    StringMap all;
    EXPECT_EQ(store.GetEntParameters(all), 0u);
    EXPECT_EQ(all, (StringMap{{L"after", L"2"}, {L"before", L"1"}}));
    EXPECT_TRUE(TestLog().Texts().empty()) << testing::PrintToString(TestLog().Texts());
}

}  // namespace
