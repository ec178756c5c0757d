// One scheduler task: the record the framework's scheduler service runs, its
// registry form (one key per task under SCHEDULER) and its data store form
// (a string map in the "ScheduleTask" list).
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"
#include "config/PCReg.h"

#include <memory>
#include <string>

struct SchedulerTaskRecord {
    std::wstring Name;                // also the name of its registry key
    std::wstring Description;
    std::wstring Path;                // full path of the executable to start
    std::wstring Param;               // its command-line parameters, e.g. "/context=5"
    LONG Type = 0;                    // 1 removal request, 2..4 schedules (the scheduler's business)
    LONG LaunchMode = 0;              // 0 or 1
    DWORD IntervalInSec = 0;          // 300..2764800 for repeating tasks
    DWORD RebootWaitCount = 0;        // 0..100
    DWORD Settings = 0;               // scheduler flags, stored as given
    DWORD EnvWaitIntervalInSec = 1800;  // 60..14400
    DWORD WaitForComplete = 0;        // 0 or 1
};

namespace scheduler {

constexpr wchar_t kSchedulerKey[] = L"SOFTWARE\\Tarsen\\QEL\\SCHEDULER\\";

// A task name must be usable as one registry key name: not empty, no "\",
// at most 255 characters.
bool IsValidTaskName(const std::wstring& name);
constexpr size_t kMaxTaskNameChars = 255;

// Parameters holding any of @ & ; ' % ", a CR or LF, the texts \r or \n,
// "0x0f" or "%00" are unsafe: such a task is never handed out with a path.
bool HasForbiddenSequence(const std::wstring& parameters);

// The record of a job's own task: it starts this program (QELCommonBuild.exe
// from the program's own folder) with `param`, repeating every
// `intervalInSec` seconds (Type 3, LaunchMode 1, no reboot wait, no settings,
// an environment wait of 1800 s, not waited for).
SchedulerTaskRecord JobTask(const std::wstring& name, const std::wstring& description, const std::wstring& param,
                            DWORD intervalInSec);

}  // namespace scheduler

class ISchedulerTaskConfig {
public:
    virtual DWORD GetName(std::wstring& out) = 0;
    virtual DWORD GetDescription(std::wstring& out) = 0;
    virtual DWORD GetType(LONG& out) = 0;
    virtual DWORD GetSettings(DWORD& out) = 0;
    virtual DWORD SetSettings(DWORD value) = 0;
    virtual DWORD GetRebootWaitCount(DWORD& out) = 0;
    virtual DWORD GetCommand(std::wstring& path, std::wstring& param) = 0;
    virtual DWORD GetLaunchMode(LONG& out) = 0;
    virtual DWORD GetIntervalInSec(DWORD& out) = 0;
    virtual DWORD GetNextRun(ULONGLONG& out) = 0;
    virtual DWORD SetNextRun(ULONGLONG value) = 0;
    virtual DWORD GetLastRun(ULONGLONG& out) = 0;
    virtual DWORD SetLastRun(ULONGLONG value) = 0;
    virtual DWORD GetEnvWaitIntervalInSec(DWORD& out) = 0;
    virtual DWORD Write(const SchedulerTaskRecord& record) = 0;
    virtual DWORD ReadRecord(SchedulerTaskRecord& record) = 0;
    virtual DWORD Delete() = 0;
    virtual DWORD GetWaitForComplete(DWORD& out) = 0;
    virtual ~ISchedulerTaskConfig() = default;
};

// The registry side of one task, HKLM "SOFTWARE\Tarsen\QEL\SCHEDULER\<name>".
// Every read applies its range rule, so a hand-edited or hostile key yields
// zeros, never out-of-range values or a runnable unsafe command.
class CQelScheduleTaskConfig : public ISchedulerTaskConfig {
public:
    explicit CQelScheduleTaskConfig(std::wstring name);
    // With a registry wrapper of the caller's (a recording one in tests).
    CQelScheduleTaskConfig(std::wstring name, std::unique_ptr<CPCReg> reg);

    DWORD GetName(std::wstring& out) override;
    DWORD GetDescription(std::wstring& out) override;
    DWORD GetType(LONG& out) override;
    DWORD GetSettings(DWORD& out) override;
    DWORD SetSettings(DWORD value) override;
    DWORD GetRebootWaitCount(DWORD& out) override;
    DWORD GetCommand(std::wstring& path, std::wstring& param) override;
    DWORD GetLaunchMode(LONG& out) override;
    DWORD GetIntervalInSec(DWORD& out) override;
    DWORD GetNextRun(ULONGLONG& out) override;
    DWORD SetNextRun(ULONGLONG value) override;
    DWORD GetLastRun(ULONGLONG& out) override;
    DWORD SetLastRun(ULONGLONG value) override;
    DWORD GetEnvWaitIntervalInSec(DWORD& out) override;
    DWORD Write(const SchedulerTaskRecord& record) override;
    DWORD ReadRecord(SchedulerTaskRecord& record) override;
    DWORD Delete() override;
    DWORD GetWaitForComplete(DWORD& out) override;

    const std::wstring& KeyPath() const { return m_keyPath; }

private:
    [[nodiscard]] DWORD readDword(const wchar_t* name, DWORD& out);

    std::wstring m_name;
    std::wstring m_keyPath;
    bool m_validate = true;
    std::unique_ptr<CPCReg> m_reg;
};

// The data store form: "Name", "Description", "Param", "Path", "Type",
// "IntervalInSec", "RebootWaitCount", "Settings", "LaunchMode",
// "EnvWaitIntervalInSec" as text (WaitForComplete is not carried).
DWORD TaskToMap(const SchedulerTaskRecord& record, StringMap& out);
// Known keys overwrite their fields (numbers parsed like _wtoi); others are ignored.
DWORD MapToTask(const StringMap& map, SchedulerTaskRecord& out);
