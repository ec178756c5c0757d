// Stand-in for the framework's scheduler service on a test machine (or the
// demo sandbox). It does what the real service does with the records the job
// runner leaves, on a compressed clock:
//   - creates the notification event "Global\{E8B7044F-...}" and watches it;
//   - reads the task records from HKLM "SOFTWARE\Tarsen\QEL\SCHEDULER\<name>"
//     and from the data store's "ScheduleTask" list, through the product's own
//     record classes;
//   - honours removal requests (Type 1 records in the data store) by deleting
//     the task's key and the request;
//   - starts due tasks (Path with Param) and waits for them.
// Every step is journaled, one UTF-8 line each, to
//   <ProgramData>\Tarsen\Testbed\scheduler.journal  (or --journal PATH).
//
// Usage:
//   schedsvc --run-due-now        run every runnable task once now, then exit
//   schedsvc --serve SECONDS [--scale N]
//                                 serve for SECONDS of real time; a repeating
//                                 task runs every IntervalInSec/N seconds
//   schedsvc --list               journal and print the records, run nothing
//   schedsvc --heartbeat N        N passes that run nothing: each applies the
//                                 removal requests, reads the records and counts
//                                 itself in the data store (status value
//                                 "schedsvc.heartbeat", read and written back
//                                 as the service keeps its own count)
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "config/PCReg.h"
#include "datastore/QelPersistenceData.h"
#include "scheduler/QelSchedulerConfig.h"
#include "scheduler/QelSchedulerTaskMgr.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

std::wstring g_journalPath;

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring DefaultJournal()
{
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &folder))) {
        path = std::wstring(folder) + L"\\Tarsen\\Testbed\\scheduler.journal";
    }
    ::CoTaskMemFree(folder);
    return path;
}

// "2026-12-05 18:40:01 <text>", appended and echoed to stdout.
void Journal(const std::wstring& text)
{
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02u %02u:%02u:%02u ", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    const std::string line = stamp + Utf8(text) + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    const size_t slash = g_journalPath.find_last_of(L'\\');
    if (slash != std::wstring::npos) ::SHCreateDirectoryExW(nullptr, g_journalPath.substr(0, slash).c_str(), nullptr);
    ScopedHandle file(::CreateFileW(g_journalPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) ::WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

struct Task {
    SchedulerTaskRecord record;
    std::wstring source;  // "registry" or "data store"
    ULONGLONG nextDueMs = 0;
};

std::wstring SchedulerKeyWithoutSlash()
{
    std::wstring key = scheduler::kSchedulerKey;
    key.pop_back();
    return key;
}

// Removal requests: a Type 1 record in the data store asks for the task's
// removal. The key goes, then the request.
void ApplyRemovalRequests()
{
    CQelPersistenceData store;
    IPersistenceScheduleTask& tasks = store;
    StringList names;
    tasks.GetScheduleTaskNames(names);
    for (const auto& name : names) {
        StringMap map;
        if (tasks.GetScheduleTask(name, map) != ERROR_SUCCESS) continue;
        SchedulerTaskRecord record;
        MapToTask(map, record);
        if (record.Type != 1) continue;
        if (scheduler::IsValidTaskName(name)) {
            CQelScheduleTaskConfig(name).Delete();
        }
        tasks.DeleteScheduleTask(name);
        Journal(L"removed " + name + L" (removal request in the data store)");
    }
}

std::map<std::wstring, Task> LoadTasks()
{
    std::map<std::wstring, Task> loaded;
    CPCReg reg;
    StringList keys;
    reg.EnumRegKeys(SchedulerKeyWithoutSlash(), keys);
    for (const auto& name : keys) {
        Task task;
        task.source = L"registry";
        CQelScheduleTaskConfig(name).ReadRecord(task.record);
        loaded[name] = task;
    }
    CQelPersistenceData store;
    IPersistenceScheduleTask& tasks = store;
    StringList names;
    tasks.GetScheduleTaskNames(names);
    for (const auto& name : names) {
        if (loaded.count(name)) continue;  // the registry's record wins
        StringMap map;
        if (tasks.GetScheduleTask(name, map) != ERROR_SUCCESS) continue;
        Task task;
        task.source = L"data store";
        MapToTask(map, task.record);
        // The same rule the registry side applies: unsafe parameters, no program.
        if (scheduler::HasForbiddenSequence(task.record.Param)) task.record.Path.clear();
        loaded[name] = task;
    }
    return loaded;
}

void DescribeTasks(const std::map<std::wstring, Task>& tasks)
{
    if (tasks.empty()) Journal(L"no tasks");
    for (const auto& [name, task] : tasks) {
        const auto& r = task.record;
        Journal(L"task " + name + L" (" + task.source + L"): type " + std::to_wstring(r.Type) + L", every " +
                std::to_wstring(r.IntervalInSec) + L" s, \"" + r.Path + L"\" " + r.Param);
    }
}

bool Runnable(const Task& task) { return task.record.Type >= 2 && task.record.Type <= 4 && !task.record.Path.empty(); }

// Starts the task's program and waits for it; the notification event tells
// whether the run changed the records.
void RunTask(const std::wstring& name, const Task& task, HANDLE event)
{
    std::wstring commandLine = L"\"" + task.record.Path + L"\" " + task.record.Param;
    Journal(L"run " + name + L": " + commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(task.record.Path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        Journal(L"cannot start " + name + L", error " + std::to_wstring(::GetLastError()));
        return;
    }
    ScopedHandle processHandle(process.hProcess);
    ScopedHandle threadHandle(process.hThread);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    Journal(L"exit " + name + L": " + std::to_wstring(exitCode));
    if (::WaitForSingleObject(event, 0) == WAIT_OBJECT_0) Journal(L"notified by " + name);
    // The run may have removed its own task, or started the installer that is
    // removing the whole framework right now: only a key that is still there
    // gets its times, and none is made anew.
    ScopedRegKey key;
    if (task.source == L"registry" &&
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (scheduler::kSchedulerKey + name).c_str(), 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, key.Put()) == ERROR_SUCCESS) {
        const ULONGLONG now = static_cast<ULONGLONG>(std::time(nullptr));
        const ULONGLONG next = now + task.record.IntervalInSec;
        if (::RegSetValueExW(key.Get(), L"LastRun", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&now), sizeof(now)) ==
                ERROR_SUCCESS &&
            task.record.Type == 3) {
            ::RegSetValueExW(key.Get(), L"NextRun", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&next), sizeof(next));
        }
    }
}

int RunDueNow(HANDLE event)
{
    ApplyRemovalRequests();
    const auto tasks = LoadTasks();
    DescribeTasks(tasks);
    for (const auto& [name, task] : tasks) {
        if (Runnable(task)) {
            RunTask(name, task, event);
            ApplyRemovalRequests();
        } else {
            Journal(L"skip " + name + L" (not runnable)");
        }
    }
    DescribeTasks(LoadTasks());
    return 0;
}

int Serve(DWORD seconds, DWORD scale, HANDLE event)
{
    const ULONGLONG end = ::GetTickCount64() + seconds * 1000ull;
    std::map<std::wstring, Task> tasks;
    auto reload = [&] {
        ApplyRemovalRequests();
        auto fresh = LoadTasks();
        const ULONGLONG now = ::GetTickCount64();
        for (auto& [name, task] : fresh) {
            const auto old = tasks.find(name);
            task.nextDueMs = old != tasks.end() ? old->second.nextDueMs
                                                : now + (task.record.IntervalInSec * 1000ull) / (scale ? scale : 1);
        }
        tasks.swap(fresh);
        DescribeTasks(tasks);
    };
    reload();
    while (::GetTickCount64() < end) {
        ULONGLONG next = end;
        for (const auto& [name, task] : tasks) {
            if (Runnable(task) && task.nextDueMs < next) next = task.nextDueMs;
        }
        const ULONGLONG now = ::GetTickCount64();
        const DWORD wait = next > now ? static_cast<DWORD>(next - now) : 0;
        if (::WaitForSingleObject(event, wait) == WAIT_OBJECT_0) {
            Journal(L"notification received");
            reload();
            continue;
        }
        for (auto& [name, task] : tasks) {
            if (!Runnable(task) || task.nextDueMs > ::GetTickCount64()) continue;
            RunTask(name, task, event);
            task.nextDueMs = ::GetTickCount64() + (task.record.IntervalInSec * 1000ull) / (scale ? scale : 1);
        }
        reload();
    }
    return 0;
}

int Heartbeat(DWORD passes)
{
    for (DWORD pass = 0; pass < passes; ++pass) {
        ApplyRemovalRequests();
        LoadTasks();
        CQelPersistenceData store;
        IPersistenceCommonBuild& status = store;
        std::wstring count = L"0";
        status.GetEntParameter(L"schedsvc.heartbeat", count);
        if (status.SetEntParameter(L"schedsvc.heartbeat", std::to_wstring(_wtoi(count.c_str()) + 1)) != ERROR_SUCCESS) {
            Journal(L"heartbeat " + std::to_wstring(pass + 1) + L" not stored");
        }
    }
    Journal(L"heartbeat: " + std::to_wstring(passes) + L" passes");
    return 0;
}

int Usage()
{
    std::fputs("usage: schedsvc --run-due-now | --serve SECONDS [--scale N] | --list | --heartbeat N  [--journal PATH]\n",
               stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring mode;
    DWORD seconds = 0;
    DWORD scale = 1;
    DWORD passes = 0;
    g_journalPath = DefaultJournal();
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--run-due-now" || arg == L"--list") {
            mode = arg;
        } else if (arg == L"--serve" && i + 1 < argc) {
            mode = arg;
            seconds = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (arg == L"--heartbeat" && i + 1 < argc) {
            mode = arg;
            passes = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (arg == L"--scale" && i + 1 < argc) {
            scale = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (arg == L"--journal" && i + 1 < argc) {
            g_journalPath = argv[++i];
        } else {
            return Usage();
        }
    }
    if (mode.empty()) return Usage();

    // Auto-reset: one signal per change the job runner announces.
    ScopedHandle event(::CreateEventW(nullptr, FALSE, FALSE, scheduler::kNotificationEventName));
    if (!event) {
        Journal(L"cannot create the notification event, error " + std::to_wstring(::GetLastError()));
        return 1;
    }
    if (mode == L"--list") {
        DescribeTasks(LoadTasks());
        return 0;
    }
    if (mode == L"--heartbeat") return Heartbeat(passes);
    return mode == L"--run-due-now" ? RunDueNow(event.Get()) : Serve(seconds, scale, event.Get());
}
