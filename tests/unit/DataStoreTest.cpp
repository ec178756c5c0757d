// The data store document against its file, and the facade every caller uses:
// first use, the fixed text on disk, failures that must never damage or lose
// a file, and the facade's locking and saving rules.
#include "common/Platform.h"

#include "datastore/QelPersistenceData.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"

#include <ctime>
#include <functional>
#include <random>
#include <thread>

namespace {

namespace kit = datastorekit;

std::vector<BYTE> RandomBytes(size_t count)
{
    std::mt19937 random(12345);
    std::vector<BYTE> bytes(count);
    for (auto& b : bytes) b = static_cast<BYTE>(random());
    return bytes;
}

class DataStoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        kit::Provision();
        // The process's document caches the key blob across cycles; start each
        // test from what the registry holds now.
        CQelDbAutoSave(false).GetJsonFormat()->ResetData();
        TestLog().Clear();
    }
};

TEST_F(DataStoreTest, FirstSaveCreatesTheFileInItsFixedForm)
{
    CQelJsonFormat document;
    EXPECT_EQ(document.LoadData(), 1392u);
    EXPECT_TRUE(TestLog().Has(L"Error reading data from JSON ini file"));
    EXPECT_FALSE(testmachine::FileExists(kit::UnreadableCopy())) << "a missing file is the normal first use";

    document.SetEntParameter(L"krsdownloadcount", L"1");
    ASSERT_EQ(document.SaveData(), 0u);
    std::wstring text;
    ASSERT_TRUE(kit::ReadStoreText(text));
    EXPECT_EQ(text, L"{ \"oobe\":{},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{},"
                    L"\"Entitlement\":{\"krsdownloadcount\":\"1\"} }");
    EXPECT_EQ(document.FilePath(), kit::StoreFile());

    CQelJsonFormat reader;
    ASSERT_EQ(reader.LoadData(), 0u);
    std::wstring value;
    EXPECT_EQ(reader.GetEntParameter(L"krsdownloadcount", value), 0u);
    EXPECT_EQ(value, L"1");
}

TEST_F(DataStoreTest, OtherProgramsMembersSurviveALoadAndSave)
{
    kit::WriteStoreText(L"{\"Entitlement\":{\"theirs\":\"1\"},\"Telemetry\":{\"sent\":\"4\"},\"Queue\":[{\"id\":\"7\"}]}");
    CQelPersistenceData store;
    ASSERT_EQ(store.SetEntParameter(L"ours", L"2"), 0u);
    std::wstring text;
    ASSERT_TRUE(kit::ReadStoreText(text));
    EXPECT_EQ(text, L"{ \"oobe\":{},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{},"
                    L"\"Entitlement\":{\"ours\":\"2\",\"theirs\":\"1\"},\"Queue\":[{\"id\":\"7\"}],"
                    L"\"Telemetry\":{\"sent\":\"4\"} }");
}

TEST_F(DataStoreTest, UnusableFilesAreKeptBeforeTheyAreReplaced)
{
    std::vector<BYTE> truncated = kit::Encipher(L"{ \"Entitlement\":{\"k\":\"v\"} }");
    truncated.resize(truncated.size() - 3);
    const struct {
        const char* what;
        std::vector<BYTE> content;
        DWORD rc;
        std::wstring line;
    } cases[] = {
        {"random bytes", RandomBytes(4000), 1392, L"Error reading data from JSON ini file"},
        {"truncated", truncated, 1392, L"Error reading data from JSON ini file"},
        {"other key", kit::Encipher(L"{ \"Entitlement\":{\"k\":\"v\"} }", kit::OtherKey()), 1392,
         L"Error reading data from JSON ini file"},
        {"not JSON", kit::Encipher(L"{ \"Entitlement\":{\"k\":\"v\"} "), 1359, L"Error parsing JSON data"},
        {"root is a list", kit::Encipher(L"[{\"k\":\"v\"}]"), 1359, L"Error parsing JSON data"},
        {"a number value", kit::Encipher(L"{\"Entitlement\":{\"krsdownloadcount\":2}}"), 1359,
         L"Error parsing JSON data"},
        {"a section of the wrong kind", kit::Encipher(L"{\"Packages\":{\"PkgID\":\"p\"}}"), 1359,
         L"Error parsing JSON data"},
        {"a text with a UTF-16 byte-order mark", kit::Encipher(L"\xfeff{}"), 1359, L"Error parsing JSON data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::DeleteFileW(kit::UnreadableCopy().c_str());
        testmachine::WriteBytes(kit::StoreFile(), c.content.data(), c.content.size());
        TestLog().Clear();

        CQelJsonFormat document;
        EXPECT_EQ(document.LoadData(), c.rc);
        EXPECT_TRUE(TestLog().Has(c.line));
        EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), c.content);
        const CapturedLine kept = TestLog().Find(L"Unreadable data store file kept as " + kit::UnreadableCopy());
        EXPECT_EQ(kept.level, 2u);
        EXPECT_EQ(kept.function, L"CQelJsonFormat::keepUnreadableFile");

        // The operation runs on an empty document; the save replaces the file.
        document.SetEntParameter(L"after", L"1");
        ASSERT_EQ(document.SaveData(), 0u);
        std::wstring text;
        ASSERT_TRUE(kit::ReadStoreText(text));
        EXPECT_EQ(text, L"{ \"oobe\":{},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{},\"Entitlement\":{\"after\":\"1\"} }");
        EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), c.content) << "the copy is left alone";
    }
}

TEST_F(DataStoreTest, AnOlderUnreadableCopyIsReplaced)
{
    const std::vector<BYTE> older = {1, 2, 3};
    testmachine::WriteBytes(kit::UnreadableCopy(), older.data(), older.size());
    const std::vector<BYTE> newer = RandomBytes(64);
    testmachine::WriteBytes(kit::StoreFile(), newer.data(), newer.size());
    CQelJsonFormat document;
    EXPECT_EQ(document.LoadData(), 1392u);
    EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), newer);
}

TEST_F(DataStoreTest, AnEmptyFileHoldsNothingToKeep)
{
    testmachine::WriteBytes(kit::StoreFile(), "", 0);
    CQelJsonFormat document;
    EXPECT_EQ(document.LoadData(), 1392u);
    EXPECT_FALSE(testmachine::FileExists(kit::UnreadableCopy()));
}

TEST_F(DataStoreTest, WithoutKeyOrPathNothingIsReadOrWritten)
{
    const std::vector<BYTE> existing = kit::Encipher(L"{ \"Entitlement\":{\"k\":\"v\"} }");
    const struct {
        const char* what;
        std::function<void()> breakIt;
        std::wstring line;  // besides the "Failed to initialize objects ..." lines
    } cases[] = {
        {"no DataStore", [] { testmachine::DeleteValue(qelkeys::kCore, L"DataStore"); }, L""},
        {"DataStore of the wrong type",
         [] { testmachine::SetString(qelkeys::kCore, L"DataStore", L"0123456789"); }, L""},
        {"no DBPath", [] { testmachine::DeleteValue(qelkeys::kCore, L"DBPath"); },
         L"Error in file path or keyBlob empty"},
        {"empty DBPath", [] { testmachine::SetString(qelkeys::kCore, L"DBPath", L""); },
         L"Error in file path or keyBlob empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kit::Provision();
        testmachine::WriteBytes(kit::StoreFile(), existing.data(), existing.size());
        c.breakIt();
        TestLog().Clear();

        CQelJsonFormat document;
        EXPECT_EQ(document.LoadData(), 1359u);
        EXPECT_TRUE(TestLog().Has(L"Failed to initialize objects for reading JSON file"));
        document.SetEntParameter(L"k", L"changed");
        EXPECT_EQ(document.SaveData(), 1359u);
        EXPECT_TRUE(TestLog().Has(L"Failed to initialize objects for writing JSON file"));
        if (!c.line.empty()) {
            EXPECT_TRUE(TestLog().Has(c.line));
        }

        EXPECT_EQ(kit::FileBytes(), existing);
        EXPECT_FALSE(testmachine::FileExists(kit::UnreadableCopy()));
        // A path without its folder would have been "\qeldata.dat" at the root of the drive.
        EXPECT_FALSE(testmachine::FileExists(L"C:\\qeldata.dat"));
    }
}

TEST_F(DataStoreTest, KeyBlobIsReadOnceAndAShortOneIsPadded)
{
    // The natural length of a plaintext AES-256 blob is 44 bytes; the provider
    // is always handed 140, the rest zeros.
    std::vector<BYTE> shortBlob = kit::KeyBlob(kit::TestKey());
    shortBlob.resize(44);
    kit::SetKeyBlob(shortBlob);
    CQelJsonFormat document;
    document.SetEntParameter(L"k", L"v");
    ASSERT_EQ(document.SaveData(), 0u);
    EXPECT_TRUE(TestLog().Has(L"The data store key blob holds 44 bytes instead of 140"));
    std::wstring text;
    EXPECT_TRUE(kit::ReadStoreText(text));

    // Cached: a changed registry value is not seen until the document is reset.
    kit::SetKeyBlob(kit::KeyBlob(kit::OtherKey()));
    ASSERT_EQ(document.SaveData(), 0u);
    EXPECT_TRUE(kit::ReadStoreText(text, kit::TestKey()));
    document.ResetData();
    document.SetEntParameter(L"k", L"v");
    ASSERT_EQ(document.SaveData(), 0u);
    EXPECT_TRUE(kit::ReadStoreText(text, kit::OtherKey()));
}

TEST_F(DataStoreTest, FacadeInitializeDatabaseCreatesTheStore)
{
    const long long before = static_cast<long long>(std::time(nullptr));
    CQelPersistenceData store;
    ASSERT_EQ(store.InitializeDatabase(), 0u);
    const long long after = static_cast<long long>(std::time(nullptr));

    std::wstring text;
    ASSERT_TRUE(kit::ReadStoreText(text));
    std::wstring time;
    ASSERT_EQ(store.GetOobeParameter(L"InitializeDbTime", time), 0u);
    EXPECT_GE(std::stoll(time), before);
    EXPECT_LE(std::stoll(time), after);
    EXPECT_EQ(text, L"{ \"oobe\":{\"InitializeDbTime\":\"" + time +
                        L"\",\"oobestate\":\"0\"},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{\"eulastate\":\"0\"},"
                        L"\"Entitlement\":{} }");
    int state = 9;
    EXPECT_EQ(store.GetEulaState(state), 0u);
    EXPECT_EQ(state, 0);
}

TEST_F(DataStoreTest, FacadeKeepsNothingBetweenCalls)
{
    CQelPersistenceData store;
    ASSERT_EQ(store.SetEntParameter(L"mine", L"1"), 0u);
    // Another program replaces the file: the next call sees only its content.
    kit::WriteStoreText(L"{\"Entitlement\":{\"theirs\":\"2\"}}");
    std::wstring value = L"unchanged";
    EXPECT_EQ(store.GetEntParameter(L"mine", value), 1168u);
    EXPECT_EQ(value, L"unchanged");
    EXPECT_EQ(store.GetEntParameter(L"theirs", value), 0u);
    EXPECT_EQ(value, L"2");
    ASSERT_EQ(store.SetEntParameter(L"mine", L"3"), 0u);
    StringMap all;
    EXPECT_EQ(store.GetEntParameters(all), 0u);
    EXPECT_EQ(all, (StringMap{{L"mine", L"3"}, {L"theirs", L"2"}}));
}

TEST_F(DataStoreTest, FacadeResultsFollowTheSavingRule)
{
    CQelPersistenceData store;
    int state = 42;
    EXPECT_EQ(store.GetOobeState(state), 1168u) << "no file: the load fails, the getter finds nothing";
    EXPECT_EQ(state, 42);
    std::wstring value = L"unchanged";
    EXPECT_EQ(store.GetOobeParameter(L"completedtime", value), 1168u);
    EXPECT_EQ(store.GetEulaParameter(L"x", value), 1168u);
    EXPECT_EQ(store.GetPkgParameter(L"p", L"x", value), 2u);
    EXPECT_EQ(value, L"unchanged");
    StringList names;
    EXPECT_EQ(store.GetScheduleTaskNames(names), 1168u);
    EXPECT_FALSE(testmachine::FileExists(kit::StoreFile())) << "getters never write";

    EXPECT_EQ(store.SetOobeState(2), 0u);
    EXPECT_EQ(store.GetOobeState(state), 0u);
    EXPECT_EQ(state, 2);
    EXPECT_EQ(store.SetPkgParameter(L"p", L"AutoDownLoadFlag", L"1"), 0u);
    EXPECT_EQ(store.SetPkgParameter(L"p", L"AutoDownLoadFlag", L"0"), 0u);
    EXPECT_EQ(store.GetPkgParameter(L"p", L"AutoDownLoadFlag", value), 0u);
    EXPECT_EQ(value, L"1");
    EXPECT_EQ(store.AddScheduleTask(L"T", {{L"Name", L"T"}, {L"Type", L"0"}}), 0u);
    EXPECT_EQ(store.AddScheduleTask(L"T", {{L"Name", L"T"}, {L"Type", L"1"}}), 0u);
    StringMap task;
    EXPECT_EQ(store.GetScheduleTask(L"T", task), 0u);
    EXPECT_EQ(task[L"Type"], L"1");
    EXPECT_EQ(store.DeleteScheduleTask(L"T"), 0u);
    EXPECT_EQ(store.GetScheduleTask(L"T", task), 1168u);

    // A failed save is what a changing operation reports; the file stays as it was.
    const std::vector<BYTE> before = kit::FileBytes();
    CQelDbAutoSave(false).GetJsonFormat()->ResetData();
    testmachine::DeleteValue(qelkeys::kCore, L"DataStore");
    EXPECT_EQ(store.SetEntParameter(L"k", L"v"), 1359u);
    EXPECT_EQ(store.GetEntParameter(L"k", value), 1168u);
    EXPECT_EQ(kit::FileBytes(), before);
}

TEST_F(DataStoreTest, FacadeReplacesAnUnreadableFileButKeepsIt)
{
    const std::vector<BYTE> damaged = RandomBytes(333);
    testmachine::WriteBytes(kit::StoreFile(), damaged.data(), damaged.size());
    CQelPersistenceData store;
    std::wstring value;
    EXPECT_EQ(store.GetEntParameter(L"k", value), 1168u);
    EXPECT_EQ(kit::FileBytes(), damaged) << "a getter leaves the file alone";
    EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), damaged);

    EXPECT_EQ(store.SetEntParameter(L"k", L"v"), 0u);
    std::wstring text;
    ASSERT_TRUE(kit::ReadStoreText(text));
    EXPECT_EQ(text, L"{ \"oobe\":{},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{},\"Entitlement\":{\"k\":\"v\"} }");
    EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), damaged);
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

// Holds the process-local lock on its own thread until released.
class LockHolder {
public:
    explicit LockHolder(HANDLE lock)
        : m_thread([this, lock] {
              ::WaitForSingleObject(lock, INFINITE);
              ::SetEvent(m_held.Get());
              ::WaitForSingleObject(m_release.Get(), INFINITE);
              ::ReleaseMutex(lock);
          })
    {
        ::WaitForSingleObject(m_held.Get(), INFINITE);
    }
    ~LockHolder()
    {
        ::SetEvent(m_release.Get());
        m_thread.join();
    }

private:
    ScopedHandle m_held{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ScopedHandle m_release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread m_thread;
};

TEST_F(DataStoreTest, ProcessLockSerialisesAllButTheStatusGetters)
{
    const HANDLE lock = LockProbe().Lock();
    ASSERT_NE(lock, nullptr) << "made before the entry point";
    CQelPersistenceData store;
    ASSERT_EQ(store.SetEntParameter(L"k", L"v"), 0u);

    ScopedHandle setDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread setter;
    {
        LockHolder holder(lock);
        // The status getters run without the lock...
        std::wstring value;
        EXPECT_EQ(store.GetEntParameter(L"k", value), 0u);
        StringMap all;
        EXPECT_EQ(store.GetEntParameters(all), 0u);
        // ...a facade that has no lock does not wait either...
        EXPECT_EQ(LockProbe(true).SetEntParameter(L"unlocked", L"1"), 0u);
        EXPECT_EQ(LockProbe(true).GetEntParameter(L"unlocked", value), 0u);
        // ...every other operation waits for it.
        setter = std::thread([&] {
            CQelPersistenceData().SetEntParameter(L"waited", L"1");
            ::SetEvent(setDone.Get());
        });
        EXPECT_EQ(::WaitForSingleObject(setDone.Get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    EXPECT_EQ(::WaitForSingleObject(setDone.Get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    setter.join();
    std::wstring value;
    EXPECT_EQ(store.GetEntParameter(L"waited", value), 0u);

    // Re-entrant for the thread that holds it.
    ::WaitForSingleObject(lock, INFINITE);
    EXPECT_EQ(store.SetEntParameter(L"nested", L"1"), 0u);
    ::ReleaseMutex(lock);
}

}  // namespace
