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
//   "InstallsSuite" REG_DWORD non-zero: before exiting, "install" the KRS
//                             suite: its uninstall entry HKLM
//                             Software\Microsoft\Windows\CurrentVersion\Uninstall\RVN
//                             with "DisplayName" and "DisplayVersion"
//   "SignalAfter"  REG_DWORD  present: the suite's post-install work sets the
//                             post-install event this many milliseconds after
//                             this program has ended (see PostInstallSignal)
// Each start appends one line (UTF-16LE, fields separated by tabs, the
// command line last): its process id, its session, the desktop it was asked
// to start on, its working directory, the environment's TESTBED_MARKER (to
// tell the caller's environment from the user's), the exit code it will
// give, its arguments as the platform splits them (CommandLineToArgvW, the
// rules every C runtime follows): "argc", then "arg1", "arg2", ... each
// exactly as a program reads it, and its whole command line.
//
// As the common installer (tsinst.exe) it also uninstalls: given the three
// arguments /uninstall /longpath <path> it removes the framework from the machine
// (see Uninstall below) unless "ExitCode" asks it to fail or the knob
// "Leave" (REG_DWORD, non-zero) to leave everything in place.
#include "common/Platform.h"

#include "app/QELCommonBuild.h"
#include "scheduler/QelSchedulerTaskMgr.h"
#include "testbed/StandinSupport.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kPostInstallSwitch[] = L"/testbed-post-install";
constexpr wchar_t kPostInstallEvent[] = L"9A842862-3445-41BC-BD77-F655B8E850AC";
constexpr wchar_t kSuiteUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RVN";
// How long the post-install work keeps a set signal for a job that never takes it.
constexpr DWORD kSignalHoldMs = 10 * 60 * 1000;

void JournalLine(const std::wstring& role, const std::wstring& line)
{
    const std::wstring key = standin::kTestbedKey + role;
    const std::wstring journal = std::wstring(standin::kJournalFolder) + role + L".journal";
    const std::wstring text = line + L"\n";
    standin::AppendJournal(standin::JournalPath(key.c_str(), journal.c_str()), text.data(),
                           static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

// The suite's post-install work, left running by the updater: it holds the
// post-install event from its start, sets it `after` milliseconds after the
// updater (process `updaterPid`) has ended, and keeps holding it until a job
// has taken the signal (reset it). A signal set on an event that nobody holds
// would be lost; held, it reaches the job whether the job opens the event
// before or after it is set. Journal "KrsPostInstall": "signal=set", then
// "signal=taken" or "signal=not taken".
int PostInstallSignal(DWORD updaterPid, DWORD after)
{
    // Asks only for what it needs: a job that made the event first lets
    // LocalSystem and administrators wait on it and set it, nothing more.
    ScopedHandle event(::CreateEventExW(nullptr, kPostInstallEvent, CREATE_EVENT_MANUAL_RESET,
                                        SYNCHRONIZE | EVENT_MODIFY_STATE));
    if (!event) {
        JournalLine(L"KrsPostInstall", L"signal=cannot create the event, error " + std::to_wstring(::GetLastError()));
        return 1;
    }
    ScopedHandle updater(::OpenProcess(SYNCHRONIZE, FALSE, updaterPid));
    if (updater) ::WaitForSingleObject(updater.Get(), INFINITE);
    ::Sleep(after);
    ::SetEvent(event.Get());
    JournalLine(L"KrsPostInstall", L"signal=set");
    const ULONGLONG end = ::GetTickCount64() + kSignalHoldMs;
    while (::WaitForSingleObject(event.Get(), 0) == WAIT_OBJECT_0 && ::GetTickCount64() < end) ::Sleep(20);
    const bool taken = ::WaitForSingleObject(event.Get(), 0) != WAIT_OBJECT_0;
    JournalLine(L"KrsPostInstall", taken ? L"signal=taken" : L"signal=not taken");
    return 0;
}

// Starts this program again as the suite's post-install work, on its own.
void LeavePostInstallSignal(const wchar_t* self, DWORD after)
{
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + kPostInstallSwitch + L" " +
                               std::to_wstring(::GetCurrentProcessId()) + L" " + std::to_wstring(after);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;  // none of the caller's output handles
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
}

void InstallSuite()
{
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSuiteUninstallKey, L"DisplayName", REG_SZ, L"KRS Security Suite",
                      sizeof(L"KRS Security Suite"));
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSuiteUninstallKey, L"DisplayVersion", REG_SZ, L"21.3.10.391",
                      sizeof(L"21.3.10.391"));
}

constexpr wchar_t kFrameworkKey[] = L"SOFTWARE\\Tarsen\\QEL";

// The arguments after the program's own name, as the platform splits them.
std::vector<std::wstring> Arguments()
{
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; argv && i < count; ++i) arguments.emplace_back(argv[i]);
    ::LocalFree(argv);
    return arguments;
}

// The install path of "/uninstall /longpath <path>" (its trailing backslashes
// dropped), or empty when the command is not exactly that or the path is no
// folder below a drive's root.
std::wstring UninstallPath(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() != 3 || arguments[1] != L"/longpath") return std::wstring();
    std::wstring path = arguments[2];
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    const bool belowRoot = path.size() > 3 && path[1] == L':' && path[2] == L'\\';
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
    const std::vector<std::wstring> arguments = Arguments();
    if (arguments.size() == 3 && arguments[0] == kPostInstallSwitch) {
        return PostInstallSignal(std::wcstoul(arguments[1].c_str(), nullptr, 10),
                                 std::wcstoul(arguments[2].c_str(), nullptr, 10));
    }
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
    const bool uninstall =
        ::lstrcmpiW(role.c_str(), L"tsinst") == 0 && !arguments.empty() && arguments[0] == L"/uninstall";
    const std::wstring installPath = uninstall ? UninstallPath(arguments) : std::wstring();
    if (uninstall && installPath.empty()) exitCode = ERROR_INVALID_PARAMETER;  // a command it cannot follow

    std::wstring split = L"\targc=" + std::to_wstring(arguments.size());
    for (size_t i = 0; i < arguments.size(); ++i) split += L"\targ" + std::to_wstring(i + 1) + L"=" + arguments[i];
    JournalLine(role, L"pid=" + std::to_wstring(::GetCurrentProcessId()) + L"\tsession=" + std::to_wstring(session) +
                          L"\tdesktop=" + (startup.lpDesktop ? startup.lpDesktop : L"") + L"\tdirectory=" +
                          directory + L"\tmarker=" + marker + L"\texit=" + std::to_wstring(exitCode) + split +
                          L"\tcommand=" + ::GetCommandLineW());

    if (uninstall && exitCode == ERROR_SUCCESS && !standin::KnobDword(key.c_str(), L"Leave", 0)) {
        exitCode = Uninstall(installPath);
    }
    ::Sleep(standin::KnobDword(key.c_str(), L"RunTime", 0));
    if (standin::KnobDword(key.c_str(), L"InstallsSuite", 0)) InstallSuite();
    DWORD signalAfter = 0;
    if (standin::ReadKnobDword(key.c_str(), L"SignalAfter", signalAfter)) LeavePostInstallSignal(self, signalAfter);
    return static_cast<int>(exitCode);
}
