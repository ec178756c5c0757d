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
#include "common/Platform.h"

#include "testbed/StandinSupport.h"

#include <string>

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
    const DWORD exitCode = standin::KnobDword(key.c_str(), L"ExitCode", 0);

    const std::wstring line = L"pid=" + std::to_wstring(::GetCurrentProcessId()) +
                              L"\tsession=" + std::to_wstring(session) +
                              L"\tdesktop=" + (startup.lpDesktop ? startup.lpDesktop : L"") +
                              L"\tdirectory=" + directory + L"\tmarker=" + marker +
                              L"\texit=" + std::to_wstring(exitCode) + L"\tcommand=" + ::GetCommandLineW() + L"\n";
    const std::wstring journal = std::wstring(standin::kJournalFolder) + role + L".journal";
    standin::AppendJournal(standin::JournalPath(key.c_str(), journal.c_str()), line.data(),
                           static_cast<DWORD>(line.size() * sizeof(wchar_t)));

    ::Sleep(standin::KnobDword(key.c_str(), L"RunTime", 0));
    return static_cast<int>(exitCode);
}
