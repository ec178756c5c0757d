#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "scheduler/QelSchedulerTaskMgr.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

namespace {

const std::wstring kSchedulerKey = L"SOFTWARE\\Tarsen\\QEL\\SCHEDULER";

SchedulerTaskRecord Task(const wchar_t* name = L"AutoDownload", LONG type = 3, DWORD interval = 14400,
                         const std::function<void(SchedulerTaskRecord&)>& change = {})
{
    SchedulerTaskRecord r;
    r.Name = name;
    r.Description = L"AutoDownload task";
    r.Path = L"C:\\Program Files\\Tarsen\\QEL\\QELCommonBuild.exe";
    r.Param = L"/context=4";
    r.Type = type;
    r.LaunchMode = 1;
    r.IntervalInSec = interval;
    if (change) change(r);
    return r;
}

enum class Seen { Nothing, SignalledFirst, StoredThenSignalled };

// Watches the scheduler service's event (created as the service creates it)
// and, the moment it is set, asks `stored` whether the change is stored yet.
class SchedulerEvent {
public:
    explicit SchedulerEvent(std::function<bool()> stored = [] { return true; })
        : m_event(::CreateEventW(nullptr, FALSE, FALSE, scheduler::kNotificationEventName)),
          m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_watch = std::async(std::launch::async, [this, stored] {
            const HANDLE handles[] = {m_event.Get(), m_stop.Get()};  // when both are set, the first wins
            if (::WaitForMultipleObjects(2, handles, FALSE, 20000) != WAIT_OBJECT_0) return Seen::Nothing;
            return stored() ? Seen::StoredThenSignalled : Seen::SignalledFirst;
        });
    }
    ~SchedulerEvent() { Stop(); }
    // Stops watching: what was seen by then.
    Seen Stop()
    {
        if (m_watch.valid()) {
            ::SetEvent(m_stop.Get());
            m_seen = m_watch.get();
        }
        return m_seen;
    }

private:
    ScopedHandle m_event;
    ScopedHandle m_stop;
    std::future<Seen> m_watch;
    Seen m_seen = Seen::Nothing;
};

// Whether a task is in the data store's list, and its record there.
bool StoredInDatabase(const std::wstring& name, SchedulerTaskRecord* record = nullptr)
{
    CQelPersistenceData store;
    StringMap map;
    if (static_cast<IPersistenceScheduleTask&>(store).GetScheduleTask(name, map) != ERROR_SUCCESS) return false;
    if (record) MapToTask(map, *record);
    return true;
}

StringList DatabaseTaskNames()
{
    StringList names;
    CQelPersistenceData store;
    static_cast<IPersistenceScheduleTask&>(store).GetScheduleTaskNames(names);
    return names;
}

class SchedulerTaskMgrTest : public testing::Test {
protected:
    void SetUp() override
    {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
        datastorekit::Provision();
        TestLog().Clear();
    }
    void TearDown() override { testmachine::DeleteTree(L"SOFTWARE\\Tarsen"); }
    // The scheduler key exists: this process may open it with full access.
    void MakeAdmin() { testmachine::SetString(kSchedulerKey, L"Installed", L"1"); }
};

// A process without full access to the scheduler key, with a short wait.
class UserModeMgr : public CQelScheduleTaskMgr {
public:
    UserModeMgr() : CQelScheduleTaskMgr(100) {}
    bool isAdmin() override { return false; }
};

TEST_F(SchedulerTaskMgrTest, AdminAddWritesTheKeyThenSignals)
{
    CQelScheduleTaskMgr manager;
    EXPECT_FALSE(manager.isAdmin());
    EXPECT_TRUE(TestLog().Has(L"Error opening key 2"));
    MakeAdmin();
    EXPECT_TRUE(manager.isAdmin());

    SchedulerEvent event([] { return testmachine::KeyExists(kSchedulerKey + L"\\AutoDownload"); });
    EXPECT_EQ(manager.AddTask(Task()), 0u);
    EXPECT_EQ(event.Stop(), Seen::StoredThenSignalled);
    EXPECT_EQ(testmachine::ValueCount(kSchedulerKey + L"\\AutoDownload"), 11u);
    EXPECT_FALSE(StoredInDatabase(L"AutoDownload"));
    for (const wchar_t* line : {L"addTaskIntoReg", L"Added task to reg.", L"NOTIFICATION :--- SUCCESS"}) {
        EXPECT_EQ(TestLog().Find(line).level, 1u) << testing::PrintToString(std::wstring(line));
    }
    EXPECT_EQ(TestLog().Find(L"Added task to reg.").file, L"QelSchedulerTaskMgr.cpp");

    SchedulerEvent deleted([] { return !testmachine::KeyExists(kSchedulerKey + L"\\AutoDownload"); });
    EXPECT_EQ(manager.DeleteTask(L"AutoDownload"), 0u);
    EXPECT_EQ(deleted.Stop(), Seen::StoredThenSignalled);
    EXPECT_TRUE(TestLog().Has(L"Deleted task from reg."));
    EXPECT_TRUE(TestLog().Has(L"Delete task - Returning errorcode:0"));
}

TEST_F(SchedulerTaskMgrTest, RuleBreakingRecordsAreRefusedWithoutTouchingAnything)
{
    MakeAdmin();
    const struct {
        const char* name;
        SchedulerTaskRecord record;
    } cases[] = {
        {"type 3 with 299 s", Task(L"T", 3, 299)},
        {"type 0", Task(L"T", 0)},
        {"type 5", Task(L"T", 5)},
        {"type 4 with an interval", Task(L"T", 4, 300)},
        {"empty name", Task(L"")},
        {"name with a backslash", Task(L"..\\Run")},
        {"unsafe parameters", Task(L"T", 3, 14400, [](auto& r) { r.Param = L"/context=4 & del *"; })},
        {"no path", Task(L"T", 3, 14400, [](auto& r) { r.Path.clear(); })},
        {"type 2 with a reboot wait", Task(L"T", 2, 0, [](auto& r) { r.RebootWaitCount = 1; })},
    };
    SchedulerEvent event;
    CQelScheduleTaskMgr manager;
    for (const auto& c : cases) {
        EXPECT_EQ(manager.AddTask(c.record), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.name;
    }
    EXPECT_EQ(manager.DeleteTask(L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(manager.DeleteTask(L"a\\b"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(event.Stop(), Seen::Nothing);
    StringList keys;
    CPCReg().EnumRegKeys(kSchedulerKey, keys);
    EXPECT_TRUE(keys.empty()) << "no task key was written";
    EXPECT_TRUE(DatabaseTaskNames().empty());
    for (const auto& valid : {Task(L"T", 3, 300), Task(L"T", 4, 0), Task(L"T", 1, 0)}) {
        EXPECT_TRUE(scheduler::IsValidTaskRecord(valid)) << valid.Type;
    }
}

TEST_F(SchedulerTaskMgrTest, WithoutTheSchedulerServiceTheTaskStillStays)
{
    MakeAdmin();
    CQelScheduleTaskMgr manager;
    EXPECT_EQ(manager.AddTask(Task()), 0u);
    EXPECT_TRUE(testmachine::KeyExists(kSchedulerKey + L"\\AutoDownload"));
    EXPECT_TRUE(TestLog().Has(L"NOTIFICATION :--- FAILED Error:2"));
    EXPECT_EQ(manager.notifyScheduler(true), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Deleting a task that is not there: the registry's answer, and no signal.
    SchedulerEvent event;
    EXPECT_NE(manager.DeleteTask(L"Unknown"), 0u);
    EXPECT_EQ(event.Stop(), Seen::Nothing);
    EXPECT_TRUE(TestLog().Has(L"Error unable to delete registry.1012"));
}

// Writes every value but fails one, as a full registry might.
class FailingWriteMgr : public CQelScheduleTaskMgr {
public:
    class HalfWrite : public CPCReg {
    public:
        DWORD Write(const std::wstring& key, const std::wstring& name, DWORD value) override
        {
            return name == L"LaunchMode" ? ERROR_CANTWRITE : CPCReg::Write(key, name, value);
        }
        using CPCReg::Write;
    };
    DWORD CreateTaskConfig(const std::wstring& name, std::shared_ptr<ISchedulerTaskConfig>& config) override
    {
        config = std::make_shared<CQelScheduleTaskConfig>(name, std::make_unique<HalfWrite>());
        return ERROR_SUCCESS;
    }
};

TEST_F(SchedulerTaskMgrTest, AHalfWrittenKeyIsRemovedAgain)
{
    MakeAdmin();
    SchedulerEvent event;
    FailingWriteMgr manager;
    EXPECT_EQ(manager.addTaskToRegistry(Task()), static_cast<DWORD>(ERROR_CANTWRITE));
    EXPECT_FALSE(testmachine::KeyExists(kSchedulerKey + L"\\AutoDownload"));
    EXPECT_EQ(TestLog().Find(L"Error adding task to reg.").level, 4u);
    EXPECT_EQ(manager.AddTask(Task()), 0u) << "a valid record is 0 whatever storing did";
    EXPECT_EQ(event.Stop(), Seen::Nothing) << "nothing stored, nothing announced";
}

TEST_F(SchedulerTaskMgrTest, UserModeAddGoesToTheDataStoreAndSignalsAfterTheWait)
{
    SchedulerEvent event([] { return StoredInDatabase(L"AutoDownload"); });
    UserModeMgr manager;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(manager.AddTask(Task()), 0u);
    EXPECT_GE(::GetTickCount64() - start, 90u) << "the wait comes before the signal";
    EXPECT_EQ(event.Stop(), Seen::StoredThenSignalled);
    SchedulerTaskRecord stored;
    ASSERT_TRUE(StoredInDatabase(L"AutoDownload", &stored));
    EXPECT_EQ(stored.Param, L"/context=4");
    EXPECT_EQ(stored.IntervalInSec, 14400u);
    EXPECT_FALSE(testmachine::KeyExists(kSchedulerKey));
    EXPECT_TRUE(TestLog().Has(L"Adding task to shared location."));
    EXPECT_TRUE(TestLog().Has(L"Added task to shared location."));

    // Adding it again replaces it: still one record of that name.
    EXPECT_EQ(manager.AddTask(Task(L"AutoDownload", 3, 600)), 0u);
    EXPECT_EQ(DatabaseTaskNames(), StringList{L"AutoDownload"});
}

TEST_F(SchedulerTaskMgrTest, UserModeDeleteAsksTheServiceWithATypeOneCopy)
{
    // Unknown in both places: the registry's error, no signal, nothing stored.
    SchedulerEvent none;
    UserModeMgr manager;
    const DWORD rc = manager.DeleteTask(L"Nowhere");
    EXPECT_EQ(rc & ERROR_CANTOPEN, static_cast<DWORD>(ERROR_CANTOPEN)) << rc;
    EXPECT_EQ(none.Stop(), Seen::Nothing);
    EXPECT_TRUE(TestLog().Has(L"Unable to read task from either location."));
    EXPECT_TRUE(TestLog().Has(L"Delete task - Returning errorcode:" + std::to_wstring(rc)));
    EXPECT_FALSE(StoredInDatabase(L"Nowhere"));

    // A task that only the registry holds (written by an administrative run).
    MakeAdmin();
    CQelScheduleTaskMgr().addTaskToRegistry(Task(L"QelUninstall", 3, 3600));
    SchedulerEvent event;
    EXPECT_EQ(manager.DeleteTask(L"QelUninstall"), 0u);
    EXPECT_EQ(event.Stop(), Seen::StoredThenSignalled);
    SchedulerTaskRecord request;
    ASSERT_TRUE(StoredInDatabase(L"QelUninstall", &request));
    EXPECT_EQ(request.Type, 1);
    EXPECT_EQ(request.IntervalInSec, 3600u) << "the rest of the record is the task's own";
    EXPECT_TRUE(testmachine::KeyExists(kSchedulerKey + L"\\QelUninstall")) << "removal is the service's work";
    EXPECT_TRUE(TestLog().Has(L"deleteTaskInUserMode"));
    EXPECT_TRUE(TestLog().Has(L"Read task from reg."));
}

}  // namespace
