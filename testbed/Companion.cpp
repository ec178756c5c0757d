// Stand-in for the companion programs the job runner starts (the updater,
// the helper, the installer): one program that takes its role from its own
// file name. Copied as QELUpdater.exe it is the updater, with its knobs
// under HKLM\SOFTWARE\Tarsen\Testbed\QELUpdater and its journal
// C:\ProgramData\Tarsen\Testbed\QELUpdater.journal. Knobs:
//   "ExitCode"     REG_DWORD  the exit code (default 0)
//   "RunTime"      REG_DWORD  milliseconds to run before exiting (default 0;
//                             0xFFFFFFFF: until ended from outside)
//   "HoldDesktop"  REG_DWORD  non-zero: use the desktop while running, which
//                             keeps the machine's shell process up
//   "JournalPath"  REG_SZ     journal file
// Each start appends one line (UTF-16LE, fields separated by tabs, the
// command line last): its process id, its session, the desktop it was asked
// to start on, its working directory, the environment's TESTBED_MARKER (to
// tell the caller's environment from the user's), the exit code it will
// give, and its whole command line.
//
// As the common installer (tsinst.exe) it also uninstalls: given
// /uninstall /longpath "<path>" it removes the framework from the machine
// (see Uninstall below) unless "ExitCode" asks it to fail or the knob
// "Leave" (REG_DWORD, non-zero) to leave everything in place.
#include "common/Platform.h"

#include "app/JobFactory.h"
#include "scheduler/QelSchedulerTaskMgr.h"
#include "testbed/StandinSupport.h"

#include <string>

namespace {

constexpr wchar_t kFrameworkKey[] = L"SOFTWARE\\Tarsen\\QEL";
constexpr wchar_t kUninstallCommand[] = L"/uninstall /longpath \"";

// The arguments after the program's own name, as the starter wrote them.
std::wstring Arguments()
{
    const wchar_t* text = ::GetCommandLineW();
    const wchar_t end = *text == L'"' ? L'"' : L' ';
    if (*text == L'"') ++text;
    while (*text && *text != end) ++text;
    if (*text == L'"') ++text;
    while (*text == L' ' || *text == L'\t') ++text;
    return text;
}

// The install path of "/uninstall /longpath "<path>"", or empty when the
// command is not exactly that or the path is no folder below a drive's root.
std::wstring UninstallPath(const std::wstring& arguments)
{
    const std::wstring prefix = kUninstallCommand;
    if (arguments.compare(0, prefix.size(), prefix) != 0 || arguments.back() != L'"') return std::wstring();
    const std::wstring path = arguments.substr(prefix.size(), arguments.size() - prefix.size() - 1);
    const bool belowRoot = path.size() > 3 && path[1] == L':' && path[2] == L'\\' &&
                           path.find(L'"') == std::wstring::npos && path.back() != L'\\';
    return belowRoot ? path : std::wstring();
}

// What the framework's uninstaller removes: the install folder it was given,
// the framework's registry keys (settings and scheduler records) and the data
// store. The job runner that started it may still be ending (it ends at once,
// but not before this process runs): the installer first takes the job
// runner's single-instance mutex, which both waits for that end and keeps the
// scheduler from starting another copy while files go. Files still in use are
// tried again for a while. 0, or the first thing that could not be removed.
DWORD Uninstall(const std::wstring& installPath)
{
    ScopedHandle instance(::CreateMutexW(nullptr, FALSE, CQELCBSingleInstance::kMutexName));
    if (!instance) return ::GetLastError();
    const DWORD waited = ::WaitForSingleObject(instance.Get(), 60000);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return ERROR_TIMEOUT;

    wchar_t dbPath[MAX_PATH] = L"";
    DWORD bytes = sizeof(dbPath);
    const std::wstring core = std::wstring(kFrameworkKey) + L"\\CORE";
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, core.c_str(), L"DBPath", RRF_RT_REG_SZ, nullptr, dbPath, &bytes) !=
        ERROR_SUCCESS) {
        dbPath[0] = L'\0';
    }

    DWORD result = ERROR_SUCCESS;
    bool folderGone = false;
    for (int attempt = 0; attempt < 50 && !(folderGone = standin::RemoveTree(installPath)); ++attempt) ::Sleep(100);
    if (!folderGone) result = ERROR_SHARING_VIOLATION;

    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFrameworkKey);
    const LSTATUS key = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kFrameworkKey, KEY_WOW64_64KEY, 0);
    if (key != ERROR_SUCCESS && key != ERROR_FILE_NOT_FOUND && result == ERROR_SUCCESS) result = key;

    if (dbPath[0]) {
        for (const wchar_t* name : {L"\\qeldata.dat", L"\\qeldata.dat.unreadable"}) {
            const std::wstring file = dbPath + std::wstring(name);
            if (!::DeleteFileW(file.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND && result == ERROR_SUCCESS) {
                result = ::GetLastError();
            }
        }
        ::RemoveDirectoryW(dbPath);  // only when nothing else lives there
    }

    // A running scheduler service looks at its (now empty) records again.
    ScopedHandle scheduler(::OpenEventW(EVENT_MODIFY_STATE, FALSE, scheduler::kNotificationEventName));
    if (scheduler) ::SetEvent(scheduler.Get());
    ::ReleaseMutex(instance.Get());
    return result;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t self[MAX_PATH] = L"";
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring role(self);
    role = role.substr(role.find_last_of(L'\\') + 1);
    role = role.substr(0, role.find_last_of(L'.'));
    const std::wstring key = standin::kTestbedKey + role;

    if (standin::KnobDword(key.c_str(), L"HoldDesktop", 0)) ::GetDesktopWindow();

    DWORD session = 0xFFFFFFFF;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    STARTUPINFOW startup{};
    ::GetStartupInfoW(&startup);
    wchar_t directory[MAX_PATH] = L"";
    ::GetCurrentDirectoryW(MAX_PATH, directory);
    wchar_t marker[256] = L"";
    ::GetEnvironmentVariableW(L"TESTBED_MARKER", marker, 256);
    DWORD exitCode = standin::KnobDword(key.c_str(), L"ExitCode", 0);
    const std::wstring arguments = Arguments();
    const bool uninstall =
        ::lstrcmpiW(role.c_str(), L"tsinst") == 0 && arguments.compare(0, 10, L"/uninstall") == 0;
    const std::wstring installPath = uninstall ? UninstallPath(arguments) : std::wstring();
    if (uninstall && installPath.empty()) exitCode = ERROR_INVALID_PARAMETER;  // a command it cannot follow

    const std::wstring line = L"pid=" + std::to_wstring(::GetCurrentProcessId()) +
                              L"\tsession=" + std::to_wstring(session) +
                              L"\tdesktop=" + (startup.lpDesktop ? startup.lpDesktop : L"") +
                              L"\tdirectory=" + directory + L"\tmarker=" + marker +
                              L"\texit=" + std::to_wstring(exitCode) + L"\tcommand=" + ::GetCommandLineW() + L"\n";
    const std::wstring journal = std::wstring(standin::kJournalFolder) + role + L".journal";
    standin::AppendJournal(standin::JournalPath(key.c_str(), journal.c_str()), line.data(),
                           static_cast<DWORD>(line.size() * sizeof(wchar_t)));

    if (uninstall && exitCode == ERROR_SUCCESS && !standin::KnobDword(key.c_str(), L"Leave", 0)) {
        exitCode = Uninstall(installPath);
    }
    ::Sleep(standin::KnobDword(key.c_str(), L"RunTime", 0));
    return static_cast<int>(exitCode);
}
