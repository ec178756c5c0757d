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
const std::wstring kTaskKey = kSchedulerKey + L"\\AutoDownload";

SchedulerTaskRecord Task(const wchar_t* name = L"AutoDownload", LONG type = 3, DWORD interval = 14400,
                         void (*change)(SchedulerTaskRecord&) = nullptr)
{
    SchedulerTaskRecord r{.Name = name, .Description = L"AutoDownload task",
                          .Path = L"C:\\Program Files\\Tarsen\\QEL\\QELCommonBuild.exe", .Param = L"/context=4",
                          .Type = type, .LaunchMode = 1, .IntervalInSec = interval};
    if (change) change(r);
    return r;
}

enum class Seen { Nothing, SignalledFirst, StoredThenSignalled };

// Runs `change` while watching the scheduler service's event (created as the service creates it); the moment
// the event is set, asks `stored` whether the change is stored yet.
Seen Watch(const std::function<void()>& change, const std::function<bool()>& stored = [] { return true; })
{
    ScopedHandle event(::CreateEventW(nullptr, FALSE, FALSE, scheduler::kNotificationEventName));
    ScopedHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto watch = std::async(std::launch::async, [&] {
        const HANDLE handles[] = {event.Get(), stop.Get()};  // when both are set, the first wins
        if (::WaitForMultipleObjects(2, handles, FALSE, 20000) != WAIT_OBJECT_0) return Seen::Nothing;
        return stored() ? Seen::StoredThenSignalled : Seen::SignalledFirst;
    });
    change();
    ::SetEvent(stop.Get());
    return watch.get();
}

// The task's record in the data store's list; false when it is not there.
bool StoredInDatabase(const std::wstring& name, SchedulerTaskRecord* record = nullptr)
{
    CQelPersistenceData store;
    StringMap map;
    if (static_cast<IPersistenceScheduleTask&>(store).GetScheduleTask(name, map) != ERROR_SUCCESS) return false;
    return !record || (MapToTask(map, *record), true);
}

StringList DatabaseTaskNames()
{
    StringList names;
    CQelPersistenceData store;
    static_cast<IPersistenceScheduleTask&>(store).GetScheduleTaskNames(names);
    return names;
}

class SchedulerTaskMgrTest : public datastorekit::ProvisionedStoreTest {
protected:
    // The scheduler key exists: this process may open it with full access.
    void MakeAdmin() { testmachine::SetString(kSchedulerKey, L"Installed", L"1"); }
};

TEST_F(SchedulerTaskMgrTest, AdminChangesGoToTheKeyThenSignal)
{
    CQelScheduleTaskMgr manager;
    EXPECT_FALSE(manager.isAdmin());
    MakeAdmin();
    EXPECT_TRUE(manager.isAdmin());

    // Without the scheduler service the task still stays.
    EXPECT_EQ(manager.AddTask(Task()), 0u);
    EXPECT_TRUE(testmachine::KeyExists(kTaskKey));
    EXPECT_TRUE(TestLog().Has(L"NOTIFICATION :--- FAILED Error:2"));

    EXPECT_EQ(Watch([&] { EXPECT_EQ(manager.DeleteTask(L"AutoDownload"), 0u); },
                    [] { return !testmachine::KeyExists(kTaskKey); }),
              Seen::StoredThenSignalled);
    EXPECT_EQ(Watch([&] { EXPECT_EQ(manager.AddTask(Task()), 0u); }, [] { return testmachine::KeyExists(kTaskKey); }),
              Seen::StoredThenSignalled);
    EXPECT_EQ(testmachine::ValueCount(kTaskKey), 11u);
    EXPECT_FALSE(StoredInDatabase(L"AutoDownload"));

    // Deleting a task that is not there: the registry's answer, and no signal.
    EXPECT_EQ(Watch([&] { EXPECT_NE(manager.DeleteTask(L"Unknown"), 0u); }), Seen::Nothing);
    EXPECT_EQ(TestLog().Find(L"Error unable to delete registry.1012").level, 4u);
}

TEST_F(SchedulerTaskMgrTest, RuleBreakingRecordsAreRefusedWithoutTouchingAnything)
{
    MakeAdmin();
    const SchedulerTaskRecord cases[] = {
        Task(L"T", 3, 299), Task(L"T", 0), Task(L"T", 5), Task(L"T", 4, 300), Task(L""), Task(L"..\\Run"),
        Task(L"T", 3, 14400, [](auto& r) { r.Param = L"/context=4 & del *"; }),
        Task(L"T", 3, 14400, [](auto& r) { r.Path.clear(); }),
        Task(L"T", 2, 0, [](auto& r) { r.RebootWaitCount = 1; }),
    };
    CQelScheduleTaskMgr manager;
    EXPECT_EQ(Watch([&] {
                  for (const auto& record : cases) {
                      EXPECT_EQ(manager.AddTask(record), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
                          << testing::PrintToString(record.Name) << " type " << record.Type;
                  }
                  EXPECT_EQ(manager.DeleteTask(L"") + manager.DeleteTask(L"a\\b"), 2u * ERROR_INVALID_PARAMETER);
              }),
              Seen::Nothing);
    EXPECT_EQ(TestLog().Find(L"Task T breaks the scheduler's record rules (type 3, interval 299), not stored.").level,
              4u);
    StringList keys;
    CPCReg().EnumRegKeys(kSchedulerKey, keys);
    EXPECT_TRUE(keys.empty() && DatabaseTaskNames().empty()) << "nothing was written";
    for (const auto& valid : {Task(L"T", 3, 300), Task(L"T", 4, 0), Task(L"T", 1, 0)}) {
        EXPECT_TRUE(scheduler::IsValidTaskRecord(valid)) << valid.Type;
    }
}

// Writes every value but fails one, as a full registry might.
class FailingWriteMgr : public CQelScheduleTaskMgr {
    struct HalfWrite : CPCReg {
        using CPCReg::Write;
        DWORD Write(const std::wstring& key, const std::wstring& name, DWORD value) override
        {
            return name == L"LaunchMode" ? ERROR_CANTWRITE : CPCReg::Write(key, name, value);
        }
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
    FailingWriteMgr manager;
    EXPECT_EQ(manager.addTaskToRegistry(Task()), static_cast<DWORD>(ERROR_CANTWRITE));
    EXPECT_FALSE(testmachine::KeyExists(kTaskKey));
    EXPECT_EQ(TestLog().Find(L"Error adding task to reg.").level, 4u);
    EXPECT_EQ(Watch([&] { EXPECT_EQ(manager.AddTask(Task()), 0u) << "a valid record is 0 whatever storing did"; }),
              Seen::Nothing)
        << "nothing stored, nothing announced";
}

// A process without full access to the scheduler key, with a short wait.
struct UserModeMgr : CQelScheduleTaskMgr {
    UserModeMgr() : CQelScheduleTaskMgr(100) {}
    bool isAdmin() override { return false; }
};

TEST_F(SchedulerTaskMgrTest, UserModeChangesGoToTheDataStoreThenSignal)
{
    UserModeMgr manager;
    EXPECT_EQ(Watch([&] { manager.AddTask(Task()); }, [&] { return StoredInDatabase(L"AutoDownload"); }),
              Seen::StoredThenSignalled);
    SchedulerTaskRecord stored;
    ASSERT_TRUE(StoredInDatabase(L"AutoDownload", &stored));
    EXPECT_EQ(stored.Param + L" " + std::to_wstring(stored.IntervalInSec), L"/context=4 14400");
    EXPECT_FALSE(testmachine::KeyExists(kSchedulerKey));
    // Adding it again replaces it: still one record of that name.
    EXPECT_EQ(manager.AddTask(Task(L"AutoDownload", 3, 600)), 0u);
    EXPECT_EQ(DatabaseTaskNames(), StringList{L"AutoDownload"});

    // Unknown in both places: the registry's error, no signal, nothing stored.
    DWORD rc = 0;
    EXPECT_EQ(Watch([&] { rc = manager.DeleteTask(L"Nowhere"); }), Seen::Nothing);
    EXPECT_EQ(rc & ERROR_CANTOPEN, static_cast<DWORD>(ERROR_CANTOPEN)) << rc;
    EXPECT_TRUE(TestLog().Has(L"Delete task - Returning errorcode:" + std::to_wstring(rc)));
    EXPECT_FALSE(StoredInDatabase(L"Nowhere"));

    // A task that only the registry holds (written by an administrative run): the service gets a type 1 copy,
    // a removal request; the rest of the record is the task's own, every value read back from its key.
    MakeAdmin();
    const auto own = [](SchedulerTaskRecord& r) { r.Settings = 0x21, r.EnvWaitIntervalInSec = 600; };
    CQelScheduleTaskMgr().addTaskToRegistry(Task(L"QelUninstall", 3, 3600, own));
    EXPECT_EQ(Watch([&] { EXPECT_EQ(manager.DeleteTask(L"QelUninstall"), 0u); }), Seen::StoredThenSignalled);
    SchedulerTaskRecord request;
    ASSERT_TRUE(StoredInDatabase(L"QelUninstall", &request));
    StringMap copied, expected;
    TaskToMap(request, copied), TaskToMap(Task(L"QelUninstall", 1, 3600, own), expected);
    EXPECT_EQ(copied, expected);
    EXPECT_TRUE(testmachine::KeyExists(kSchedulerKey + L"\\QelUninstall")) << "removal is the service's work";
}

}  // namespace
