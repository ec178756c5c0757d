#include "common/Platform.h"

#include "scheduler/QelSchedulerTaskMgr.h"

#include "common/UniqueHandle.h"
#include "logging/Log.h"

namespace scheduler {

bool IsValidTaskRecord(const SchedulerTaskRecord& r)
{
    if (!IsValidTaskName(r.Name) || r.Path.empty()) return false;
    if (HasForbiddenSequence(r.Param)) return false;
    switch (r.Type) {
        case 1: return true;
        case 2: return r.RebootWaitCount == 0;
        case 3: return r.IntervalInSec >= 300 && r.RebootWaitCount == 0;
        case 4: return r.IntervalInSec == 0;
        default: return false;  // 0 is never valid; others cannot be read back
    }
}

}  // namespace scheduler

CQelScheduleTaskMgr::CQelScheduleTaskMgr(DWORD userModeNotifyDelayMs) : m_userModeNotifyDelayMs(userModeNotifyDelayMs) {}

DWORD CQelScheduleTaskMgr::AddTask(const SchedulerTaskRecord& record)
{
    if (!scheduler::IsValidTaskRecord(record)) {
        QEL_LOG(LOG_ERROR, L"Task %s breaks the scheduler's record rules (type %d, interval %u), not stored.",
                record.Name.c_str(), static_cast<int>(record.Type), static_cast<unsigned>(record.IntervalInSec));
        return ERROR_INVALID_PARAMETER;
    }
    const bool administrative = isAdmin();
    const DWORD stored = administrative ? addTaskToRegistry(record) : addTaskToDatabase(record);
    if (stored == ERROR_SUCCESS) notifyScheduler(administrative);
    return ERROR_SUCCESS;
}

DWORD CQelScheduleTaskMgr::DeleteTask(const std::wstring& name)
{
    if (!scheduler::IsValidTaskName(name)) return ERROR_INVALID_PARAMETER;
    const bool administrative = isAdmin();
    const DWORD result = administrative ? deleteTaskFromRegistry(name) : deleteTaskInUserMode(name);
    if (result == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"Delete task - notify scheduler");
        notifyScheduler(administrative);
    }
    QEL_LOG(LOG_NORMAL, L"Delete task - Returning errorcode:%d", static_cast<int>(result));
    return result;
}

bool CQelScheduleTaskMgr::isAdmin()
{
    // Only the ability to open the key counts, in the process's own view.
    ScopedRegKey key;
    const LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, scheduler::kSchedulerKey, 0, KEY_ALL_ACCESS, key.Put());
    if (rc != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error opening key %d", static_cast<int>(rc));
        return false;
    }
    return true;
}

DWORD CQelScheduleTaskMgr::addTaskToRegistry(const SchedulerTaskRecord& record)
{
    QEL_LOG(LOG_NORMAL, L"addTaskIntoReg");
    if (!scheduler::IsValidTaskRecord(record)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<ISchedulerTaskConfig> config;
    if (CreateTaskConfig(record.Name, config) != ERROR_SUCCESS || !config) return ERROR_INTERNAL_ERROR;
    if (config->Write(record) == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"Added task to reg.");
        return ERROR_SUCCESS;
    }
    QEL_LOG(LOG_ERROR, L"Error adding task to reg.");
    // No half-written record stays behind for the scheduler to run.
    m_reg.DeleteSubKey(scheduler::kSchedulerKey, record.Name);
    return ERROR_CANTWRITE;
}

DWORD CQelScheduleTaskMgr::addTaskToDatabase(const SchedulerTaskRecord& record)
{
    QEL_LOG(LOG_NORMAL, L"Adding task to shared location.");
    if (!scheduler::IsValidTaskRecord(record)) {
        QEL_LOG(LOG_ERROR, L"Invalid task, unable to add to shared location.");
        return ERROR_INVALID_PARAMETER;
    }
    StringMap map;
    if (TaskToMap(record, map) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Converting from scheduler task object to map failed");
    }
    IPersistenceScheduleTask& tasks = m_store;
    const DWORD rc = tasks.AddScheduleTask(record.Name, map);
    if (rc == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"Added task to shared location.");
        return ERROR_SUCCESS;
    }
    QEL_LOG(LOG_ERROR, L"Error adding task to shared location.");
    return rc;
}

DWORD CQelScheduleTaskMgr::readTaskFromRegistry(const std::wstring& name, SchedulerTaskRecord& record)
{
    std::shared_ptr<ISchedulerTaskConfig> config;
    if (CreateTaskConfig(name, config) != ERROR_SUCCESS || !config) return ERROR_INTERNAL_ERROR;
    const DWORD rc = config->ReadRecord(record);
    if (rc == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"Read task from reg.");
    } else {
        QEL_LOG(LOG_ERROR, L"Error reading task to reg.");
    }
    return rc;
}

DWORD CQelScheduleTaskMgr::readTaskFromDatabase(const std::wstring& name, SchedulerTaskRecord& record)
{
    IPersistenceScheduleTask& tasks = m_store;
    StringMap map;
    if (tasks.GetScheduleTask(name, map) != ERROR_SUCCESS) return ERROR_NOT_FOUND;
    if (MapToTask(map, record) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Converting from map to scheduler task object failed");
    }
    return ERROR_SUCCESS;
}

DWORD CQelScheduleTaskMgr::deleteTaskInUserMode(const std::wstring& name)
{
    // Without access to the registry key, ask the scheduler service to remove
    // the task: the same record, stored as a Type 1 request.
    QEL_LOG(LOG_NORMAL, L"deleteTaskInUserMode");
    SchedulerTaskRecord record;
    if (readTaskFromDatabase(name, record) != ERROR_SUCCESS) {
        const DWORD fromRegistry = readTaskFromRegistry(name, record);
        if (fromRegistry != ERROR_SUCCESS) {
            QEL_LOG(LOG_ERROR, L"Unable to read task from either location.");
            return fromRegistry;
        }
    }
    record.Name = name;
    record.Type = 1;
    return addTaskToDatabase(record);
}

DWORD CQelScheduleTaskMgr::deleteTaskFromRegistry(const std::wstring& name)
{
    if (name.empty()) return ERROR_SUCCESS;
    std::shared_ptr<ISchedulerTaskConfig> config;
    if (CreateTaskConfig(name, config) != ERROR_SUCCESS || !config) return ERROR_INTERNAL_ERROR;
    const DWORD rc = config->Delete();
    if (rc == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"Deleted task from reg.");
    } else {
        QEL_LOG(LOG_ERROR, L"Error unable to delete registry.%d", static_cast<int>(rc));
    }
    return rc;
}

DWORD CQelScheduleTaskMgr::notifyScheduler(bool administrative)
{
    if (!administrative) ::Sleep(m_userModeNotifyDelayMs);
    ScopedHandle event(::OpenEventW(EVENT_MODIFY_STATE, TRUE, scheduler::kNotificationEventName));
    if (!event) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_NORMAL, L"NOTIFICATION :--- FAILED Error:%d", static_cast<int>(error));
        return error;
    }
    ::SetEvent(event.Get());
    event.Reset();
    QEL_LOG(LOG_NORMAL, L"NOTIFICATION :--- SUCCESS");
    return ERROR_SUCCESS;
}

DWORD CQelScheduleTaskMgr::CreateTaskConfig(const std::wstring& name, std::shared_ptr<ISchedulerTaskConfig>& config)
{
    config = std::make_shared<CQelScheduleTaskConfig>(name);
    return ERROR_SUCCESS;
}
