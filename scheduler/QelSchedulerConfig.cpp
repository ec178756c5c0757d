#include "common/Platform.h"

#include "scheduler/QelSchedulerConfig.h"

#include "common/ExceptionBoundary.h"
#include "common/LibraryLoader.h"
#include "common/UnsafeText.h"
#include "logging/Log.h"

#include <cstdlib>

namespace scheduler {

bool IsValidTaskName(const std::wstring& name)
{
    return !name.empty() && name.size() <= kMaxTaskNameChars && name.find(L'\\') == std::wstring::npos;
}

bool HasForbiddenSequence(const std::wstring& parameters) { return HasUnsafeSequence(parameters); }

SchedulerTaskRecord JobTask(const std::wstring& name, const std::wstring& description, const std::wstring& param,
                            DWORD intervalInSec)
{
    SchedulerTaskRecord task;
    task.Name = name;
    task.Description = description;
    task.Path = ProgramFolder() + L"QELCommonBuild.exe";
    task.Param = param;
    task.Type = 3;
    task.LaunchMode = 1;
    task.IntervalInSec = intervalInSec;
    task.RebootWaitCount = 0;
    task.Settings = 0;
    task.EnvWaitIntervalInSec = 1800;
    task.WaitForComplete = 0;
    return task;
}

}  // namespace scheduler

CQelScheduleTaskConfig::CQelScheduleTaskConfig(std::wstring name)
    : CQelScheduleTaskConfig(std::move(name), std::make_unique<CPCReg>())
{
}

CQelScheduleTaskConfig::CQelScheduleTaskConfig(std::wstring name, std::unique_ptr<CPCReg> reg)
    : m_name(std::move(name)), m_keyPath(std::wstring(scheduler::kSchedulerKey) + m_name), m_reg(std::move(reg))
{
}

DWORD CQelScheduleTaskConfig::readDword(const wchar_t* name, DWORD& out)
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    return m_reg->Read(m_keyPath, name, out);
}

DWORD CQelScheduleTaskConfig::GetName(std::wstring& out)
{
    out = m_name;
    return ERROR_SUCCESS;
}

DWORD CQelScheduleTaskConfig::GetDescription(std::wstring& out)
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    return m_reg->Read(m_keyPath, L"Description", out);
}

DWORD CQelScheduleTaskConfig::GetType(LONG& out)
{
    DWORD value = 0;
    const DWORD rc = readDword(L"Type", value);
    out = (rc == ERROR_SUCCESS && value < 5) ? static_cast<LONG>(value) : 0;
    return rc;
}

DWORD CQelScheduleTaskConfig::GetSettings(DWORD& out)
{
    out = 0;
    return readDword(L"Settings", out);
}

DWORD CQelScheduleTaskConfig::SetSettings(DWORD value)
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    return m_reg->Write(m_keyPath, L"Settings", value);
}

DWORD CQelScheduleTaskConfig::GetRebootWaitCount(DWORD& out)
{
    DWORD value = 0;
    const DWORD rc = readDword(L"RebootWaitCount", value);
    if (rc == ERROR_SUCCESS) out = value > 100 ? 0 : value;
    return rc;
}

DWORD CQelScheduleTaskConfig::GetCommand(std::wstring& path, std::wstring& param)
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    const DWORD rc = m_reg->Read(m_keyPath, L"Path", path);
    m_reg->Read(m_keyPath, L"Param", param);
    // Unsafe parameters leave no program to start with them.
    if (m_validate && scheduler::HasForbiddenSequence(param)) path.clear();
    return rc;
}

DWORD CQelScheduleTaskConfig::GetLaunchMode(LONG& out)
{
    DWORD value = 0;
    const DWORD rc = readDword(L"LaunchMode", value);
    out = (rc == ERROR_SUCCESS && value < 2) ? static_cast<LONG>(value) : 0;
    return rc;
}

DWORD CQelScheduleTaskConfig::GetIntervalInSec(DWORD& out)
{
    DWORD value = 0;
    if (readDword(L"IntervalInSec", value) == ERROR_SUCCESS) out = (value < 300 || value > 2764800) ? 0 : value;
    return ERROR_SUCCESS;
}

DWORD CQelScheduleTaskConfig::GetNextRun(ULONGLONG& out)
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    return m_reg->Read(m_keyPath, L"NextRun", out);
}

DWORD CQelScheduleTaskConfig::SetNextRun(ULONGLONG value)
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    return m_reg->Write(m_keyPath, L"NextRun", value);
}

DWORD CQelScheduleTaskConfig::GetLastRun(ULONGLONG& out)
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    return m_reg->Read(m_keyPath, L"LastRun", out);
}

DWORD CQelScheduleTaskConfig::SetLastRun(ULONGLONG value)
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    return m_reg->Write(m_keyPath, L"LastRun", value);
}

DWORD CQelScheduleTaskConfig::GetEnvWaitIntervalInSec(DWORD& out)
{
    DWORD value = 0;
    const DWORD rc = readDword(L"EnvWaitIntervalInSec", value);
    if (rc == ERROR_SUCCESS) out = (value < 60 || value > 14400) ? 0 : value;
    return rc;
}

DWORD CQelScheduleTaskConfig::GetWaitForComplete(DWORD& out)
{
    DWORD value = 0;
    const DWORD rc = readDword(L"WaitForComplete", value);
    out = (rc == ERROR_SUCCESS && value < 2) ? value : 0;
    return rc;
}

DWORD CQelScheduleTaskConfig::Write(const SchedulerTaskRecord& record)
{
    QEL_LOG(LOG_NORMAL, L"addTaskIntoReg - writing to reg %s", record.Name.c_str());
    if (!scheduler::IsValidTaskName(record.Name)) {
        QEL_LOG(LOG_ERROR, L"Invalid task name, not written: '%s'", record.Name.c_str());
        return ERROR_INVALID_NAME;
    }
    const std::wstring key = std::wstring(scheduler::kSchedulerKey) + record.Name;
    // Every value is written even when an earlier one failed.
    DWORD rc = ERROR_SUCCESS;
    rc |= m_reg->Write(key, L"Name", record.Name);
    rc |= m_reg->Write(key, L"Description", record.Description);
    rc |= m_reg->Write(key, L"Type", static_cast<DWORD>(record.Type));
    rc |= m_reg->Write(key, L"IntervalInSec", record.IntervalInSec);
    rc |= m_reg->Write(key, L"RebootWaitCount", record.RebootWaitCount);
    rc |= m_reg->Write(key, L"Settings", record.Settings);
    rc |= m_reg->Write(key, L"Param", record.Param);
    rc |= m_reg->Write(key, L"Path", record.Path);
    rc |= m_reg->Write(key, L"LaunchMode", static_cast<DWORD>(record.LaunchMode));
    rc |= m_reg->Write(key, L"EnvWaitIntervalInSec", record.EnvWaitIntervalInSec);
    rc |= m_reg->Write(key, L"WaitForComplete", record.WaitForComplete);
    return rc;
}

DWORD CQelScheduleTaskConfig::ReadRecord(SchedulerTaskRecord& record)
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    DWORD rc = GetName(record.Name);
    rc |= GetType(record.Type);
    rc |= GetDescription(record.Description);
    rc |= GetCommand(record.Path, record.Param);
    rc |= GetIntervalInSec(record.IntervalInSec);
    rc |= GetLaunchMode(record.LaunchMode);
    rc |= GetRebootWaitCount(record.RebootWaitCount);
    rc |= GetSettings(record.Settings);
    rc |= GetEnvWaitIntervalInSec(record.EnvWaitIntervalInSec);
    rc |= GetWaitForComplete(record.WaitForComplete);
    return rc;
}

DWORD CQelScheduleTaskConfig::Delete()
{
    if (!scheduler::IsValidTaskName(m_name)) return ERROR_INVALID_NAME;
    return m_reg->DeleteSubKey(scheduler::kSchedulerKey, m_name);
}

DWORD TaskToMap(const SchedulerTaskRecord& record, StringMap& out)
{
    // The map keeps what was built before a failure; the caller logs it.
    return boundary::Answer({}, [&] {
        out[L"Name"] = record.Name;
        out[L"Description"] = record.Description;
        out[L"Param"] = record.Param;
        out[L"Path"] = record.Path;
        out[L"Type"] = std::to_wstring(record.Type);
        out[L"IntervalInSec"] = std::to_wstring(record.IntervalInSec);
        out[L"RebootWaitCount"] = std::to_wstring(record.RebootWaitCount);
        out[L"Settings"] = std::to_wstring(record.Settings);
        out[L"LaunchMode"] = std::to_wstring(record.LaunchMode);
        out[L"EnvWaitIntervalInSec"] = std::to_wstring(record.EnvWaitIntervalInSec);
        return DWORD{ERROR_SUCCESS};
    });
}

DWORD MapToTask(const StringMap& map, SchedulerTaskRecord& out)
{
    auto number = [](const std::wstring& text) { return _wtoi(text.c_str()); };
    for (const auto& [key, value] : map) {
        if (key == L"Name") out.Name = value;
        else if (key == L"Description") out.Description = value;
        else if (key == L"Path") out.Path = value;
        else if (key == L"Param") out.Param = value;
        else if (key == L"Type") out.Type = number(value);
        else if (key == L"IntervalInSec") out.IntervalInSec = static_cast<DWORD>(number(value));
        else if (key == L"RebootWaitCount") out.RebootWaitCount = static_cast<DWORD>(number(value));
        else if (key == L"Settings") out.Settings = static_cast<DWORD>(number(value));
        else if (key == L"LaunchMode") out.LaunchMode = number(value);
        else if (key == L"EnvWaitIntervalInSec") out.EnvWaitIntervalInSec = static_cast<DWORD>(number(value));
    }
    return ERROR_SUCCESS;
}
