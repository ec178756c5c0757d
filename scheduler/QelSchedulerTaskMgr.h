// The one place through which jobs add, replace and remove their scheduler
// tasks. A process that may open the scheduler key with full access writes the
// task key itself; any other process leaves the record in the shared data
// store for the scheduler service to pick up. Each successful change is then
// announced through the scheduler service's named event.
#pragma once

#include "common/Platform.h"
#include "config/PCReg.h"
#include "datastore/QelPersistenceData.h"
#include "scheduler/QelSchedulerConfig.h"

#include <memory>
#include <string>

namespace scheduler {

// Created by the scheduler service; set after every stored change.
constexpr wchar_t kNotificationEventName[] = L"Global\\{E8B7044F-9FE2-4DC6-81F4-4FF03AB9FD56}";

// A process without full access to the scheduler key gives the service time
// to pick its data store change up before it signals.
constexpr DWORD kUserModeNotifyDelayMs = 5000;

// Name and Path set, Type 1 to 4 (2: no reboot wait; 3: at least 300 s and no
// reboot wait; 4: no interval), a usable key name and safe parameters.
bool IsValidTaskRecord(const SchedulerTaskRecord& record);

}  // namespace scheduler

class CQelScheduleTaskMgr {
public:
    // `userModeNotifyDelayMs`: the wait before signalling without full access.
    explicit CQelScheduleTaskMgr(DWORD userModeNotifyDelayMs = scheduler::kUserModeNotifyDelayMs);
    virtual ~CQelScheduleTaskMgr() = default;

    // 87 for a record that breaks the rules; otherwise 0, also when storing failed.
    virtual DWORD AddTask(const SchedulerTaskRecord& record);
    // The removal's own result.
    virtual DWORD DeleteTask(const std::wstring& name);
    virtual bool isAdmin();
    virtual DWORD addTaskToRegistry(const SchedulerTaskRecord& record);
    virtual DWORD addTaskToDatabase(const SchedulerTaskRecord& record);
    virtual DWORD readTaskFromRegistry(const std::wstring& name, SchedulerTaskRecord& record);
    virtual DWORD readTaskFromDatabase(const std::wstring& name, SchedulerTaskRecord& record);
    virtual DWORD deleteTaskInUserMode(const std::wstring& name);
    virtual DWORD deleteTaskFromRegistry(const std::wstring& name);
    virtual DWORD notifyScheduler(bool administrative);
    virtual DWORD CreateTaskConfig(const std::wstring& name, std::shared_ptr<ISchedulerTaskConfig>& config);

private:
    CQelPersistenceData m_store;
    CPCReg m_reg;
    DWORD m_userModeNotifyDelayMs;
};
