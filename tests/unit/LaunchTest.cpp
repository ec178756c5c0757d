#include "common/Platform.h"

#include "process/CreateProcessHelper.h"
#include "process/TaskExe.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

namespace {

constexpr wchar_t kWinlogon[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const std::wstring kTool = L"C:\\launch\\tool.exe";

class LaunchTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        testmachine::CreateFolder(L"C:\\launch");
        testbed::InstallCompanion(kTool);
        // The caller's environment and the user's (built from the user's registry) tell apart.
        ::SetEnvironmentVariableW(L"TESTBED_MARKER", L"caller");
        ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Environment", L"TESTBED_MARKER", REG_SZ, L"user", 10);
    }
    void SetUp() override { testbed::ClearCompanion(L"tool"), testbed::ClearSessions(), TestLog().Clear(); }
};

// A companion's role: its file name without folder and extension.
std::wstring Role(const std::wstring& path)
{
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    return name.substr(0, name.find(L'.'));
}

// This process's privileges and their states, as the token reports them.
std::vector<BYTE> OwnPrivileges()
{
    ScopedHandle token;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put());
    DWORD bytes = 0;
    ::GetTokenInformation(token.Get(), TokenPrivileges, nullptr, 0, &bytes);
    std::vector<BYTE> privileges(bytes);
    if (!::GetTokenInformation(token.Get(), TokenPrivileges, privileges.data(), bytes, &bytes)) privileges.clear();
    return privileges;
}

// Each row: the machine (the sessions that the terminal services library lists, the shell program
// that Winlogon names; explorer.exe runs, noshell.exe does not), then what the launch does.
const struct {
    const char* name;
    DWORD mode;
    const wchar_t* library;  // load order of the terminal services library
    const wchar_t* sessions;
    DWORD enumerateError, tokenError;
    const wchar_t* shellValue;  // null: no value
    DWORD error;
    bool started, inUserSession;
    std::vector<std::string> calls;
    const wchar_t* logLine;
} kStrategies[] = {
    {"launch mode 0 runs as the caller even with an active session", 0, L"native", L"3:0", 0, 0, L"noshell.exe", 0,
     true, false, {}, L"Successfully created process (\"C:\\launch\\tool.exe\" /a  b)"},
    {"the first active session, after a disconnected one", 1, L"native", L"2:4 3:0 4:0", 0, 0, L"noshell.exe", 0,
     true, true, {"WTSEnumerateSessionsW count=3", "WTSFreeMemory", "WTSQueryUserToken session=3"},
     L"_IsActiveOrAdminSessionAvailable: SessionId = 2, State = 4\n"},
    {"no active session and no shell: nothing starts, an error", 1, L"native", L"2:4", 0, 0, L"noshell.exe",
     ERROR_NOT_FOUND, false,
     false, {"WTSEnumerateSessionsW count=1", "WTSFreeMemory"},
     L"CCPHelper::_RunProcessAsUserNT: _GetShellPid = 0"},
    {"no shell named: the shell strategy's error", 1, L"builtin", L"", 0, 0, nullptr, ERROR_FILE_NOT_FOUND,
     false, false, {}, L"CCPHelper::_RunProcessAsUserNT: _GetShellPid returned 2"},
    {"only a disconnected session: the shell's token", 1, L"native", L"2:4", 0, 0, L"explorer.exe", 0, true, true, {"WTSEnumerateSessionsW count=1", "WTSFreeMemory"},
     L"CCPHelper::_RunProcessAsUserXP(): Active Session Is Not Available. GetLastError() returned 1312\n"},
    {"the session's token refused: the shell's token", 1, L"native", L"3:0", 0, ERROR_PRIVILEGE_NOT_HELD,
     L"explorer.exe", 0, true, true,
     {"WTSEnumerateSessionsW count=1", "WTSFreeMemory", "WTSQueryUserToken session=3 error=1314"},
     L"WTSQueryUserToken failed. Session ID = 3, GetLastError = 1314"},
    {"sessions unknown, the shell named in capitals", 1, L"native", L"3:0", RPC_S_SERVER_UNAVAILABLE, 0,
     L"C:\\WINDOWS\\EXPLORER.EXE", 0, true, true, {"WTSEnumerateSessionsW error=1722"},
     L"WTSEnumerateSessions failed: GetLastError() returned 1722\n"},
    {"no terminal services library: its functions are never called", 1, L"", L"3:0", 0, 0, L"explorer.exe", 0, true,
     true, {}, L"WTSEnumerateSessions failed: GetLastError() returned 127\n"},
};

TEST_F(LaunchTest, CreationStrategies)
{
    ASSERT_TRUE(testbed::KeepShellRunning());
    for (const auto& row : kStrategies) {
        SCOPED_TRACE(row.name);
        SetUp();
        testbed::UseSessionLibrary(row.library);
        testbed::SetSessions(row.sessions, row.enumerateError, row.tokenError);
        if (row.shellValue) testmachine::SetString(kWinlogon, L"Shell", row.shellValue);
        else testmachine::DeleteValue(kWinlogon, L"Shell");

        const std::vector<BYTE> privileges = OwnPrivileges();
        DWORD error = 12345;
        ScopedHandle process(CCPHelper().LaunchProcess(kTool.c_str(), L"/a  b", error, row.mode));
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(OwnPrivileges(), privileges) << "privileges put back as they were";
        EXPECT_EQ(testbed::SessionCalls(), row.calls);
        EXPECT_TRUE(TestLog().Has(row.logLine));
        ASSERT_EQ(!!process, row.started);
        if (!row.started) {
            EXPECT_TRUE(testbed::CompanionRuns(L"tool").empty()) << "never started as the caller instead";
            continue;
        }
        ASSERT_EQ(::WaitForSingleObject(process.Get(), 60000), WAIT_OBJECT_0);
        const auto runs = testbed::CompanionRuns(L"tool");
        ASSERT_EQ(runs.size(), 1u);
        auto run = runs[0];
        EXPECT_EQ(run[L"pid"], std::to_wstring(::GetProcessId(process.Get())));
        EXPECT_EQ(run[L"command"], L"\"C:\\launch\\tool.exe\" /a  b");
        EXPECT_EQ(run[L"marker"], row.inUserSession ? L"user" : L"caller");
        if (row.inUserSession) {
            EXPECT_EQ(run[L"desktop"], L"winsta0\\default");
        }
    }
    testmachine::SetString(kWinlogon, L"Shell", L"explorer.exe");
}

TEST_F(LaunchTest, PathsThatStartNothing)
{
    testbed::UseSessionLibrary(L"native");
    // The longest command line is 1039 characters: the quoted path, a blank, the parameters.
    const std::wstring parameters(1039 - kTool.size() - 3, L'x');
    const std::tuple<const wchar_t*, const wchar_t*, DWORD> cases[] = {{L"", L"", 0}, {nullptr, L"", 0},
                                                                        {kTool.c_str(), L"x", 206}};
    for (auto [path, more, error] : cases) {
        DWORD result = 12345;
        EXPECT_EQ(CCPHelper().LaunchProcess(path, (parameters + more).c_str(), result, 1), nullptr);
        EXPECT_EQ(result, error);
    }
    EXPECT_TRUE(testbed::SessionCalls().empty());
    EXPECT_TRUE(testbed::CompanionRuns(L"tool").empty());
}

enum Variant { kNone, kSigned, kUnsigned, kTampered };

// Each row: the path a job gives, the companion lying where it resolves to, how it is launched.
const struct {
    const char* name;
    const wchar_t* path;
    const wchar_t* file;
    Variant variant;
    DWORD verify, waitMs, exitCode, runTime, priority;
    DWORD result;
    const wchar_t* logLine;
} kLaunches[] = {
    {"beside the program, its exit code passed on", L".\\companion.exe", nullptr, kNone, 1, INFINITE, 7, 0,
     NORMAL_PRIORITY_CLASS, 7, L"Launch process wait for completion"},
    {"in the Windows folder", L"%WINDIR%\\launched.exe", L"C:\\windows\\launched.exe", kSigned, 1, 0, 0, 0,
     NORMAL_PRIORITY_CLASS, 0, L"Launch process:C:\\windows\\launched.exe /x, errorcode:0"},
    {"an unset variable loses its name", L"C:\\launch%QEL_UNSET%\\unset.exe", L"C:\\launch\\unset.exe", kSigned, 1,
     INFINITE, 0, 0, NORMAL_PRIORITY_CLASS, 0, L"Launch process wait for completion"},
    {"a variable without a name", L"C:\\launch\\%%noname.exe", L"C:\\launch\\noname.exe", kSigned, 1, INFINITE, 0, 0,
     NORMAL_PRIORITY_CLASS, 0, L"Launch process wait for completion"},
    {"unsigned", L"C:\\launch\\unsigned.exe", L"C:\\launch\\unsigned.exe", kUnsigned, 1, INFINITE, 0, 0,
     NORMAL_PRIORITY_CLASS, 87, L"Invalid Orvel Security Signature :C:\\launch\\unsigned.exe"},
    {"signed, then changed", L"C:\\launch\\tampered.exe", L"C:\\launch\\tampered.exe", kTampered, 1, INFINITE, 0,
     0, NORMAL_PRIORITY_CLASS, 87, L"Invalid Orvel Security Signature :C:\\launch\\tampered.exe"},
    {"unsigned with the check switched off", L"C:\\launch\\unchecked.exe", L"C:\\launch\\unchecked.exe", kUnsigned,
     0, INFINITE, 3, 0, NORMAL_PRIORITY_CLASS, 3, L"Launch process:C:\\launch\\unchecked.exe /x, errorcode:0"},
    {"a wait shorter than the run", L"C:\\launch\\long.exe", L"C:\\launch\\long.exe", kSigned, 1, 200, 0, INFINITE,
     NORMAL_PRIORITY_CLASS, STILL_ACTIVE, L"Launch process wait for completion"},
    {"a priority class that cannot be set", L"C:\\launch\\priority.exe", L"C:\\launch\\priority.exe", kSigned, 1,
     INFINITE, 0, 0, 0x12345, 0, L"Setting priority for the process failed 87"},
    {"a file that is not there", L"C:\\launch\\missing.exe", nullptr, kNone, 0, INFINITE, 0, 0, NORMAL_PRIORITY_CLASS,
     ERROR_FILE_NOT_FOUND, L"Launch process:C:\\launch\\missing.exe /x, errorcode:2"},
};

TEST_F(LaunchTest, Launcher)
{
    for (const auto& row : kLaunches) {
        SCOPED_TRACE(row.name);
        const std::wstring file = row.file ? row.file : testmachine::BinDir() + L"\\companion.exe";
        const std::wstring role = Role(file);
        testbed::ClearCompanion(role);
        if (row.variant != kNone) testbed::InstallCompanion(file, row.variant != kUnsigned);
        if (row.variant == kTampered) {
            std::vector<BYTE> bytes = testmachine::ReadBytes(file);
            bytes[bytes.size() / 2] ^= 1;
            testmachine::WriteBytes(file, bytes.data(), bytes.size());
        }
        testbed::SetCompanionKnob(role, L"ExitCode", row.exitCode);
        testbed::SetCompanionKnob(role, L"RunTime", row.runTime);
        TestLog().Clear();

        CTaskExe task(row.path, L"/x");
        task.SetVerifySignature(row.verify);
        task.SetPriority(row.priority);
        if (row.waitMs) task.SetWaitForCompletion(row.waitMs);
        EXPECT_EQ(task.Run(), row.result);
        EXPECT_TRUE(TestLog().Has(row.logLine));
        const HANDLE process = task.GetProcessHandle();
        if (row.result == 87 || row.result == ERROR_FILE_NOT_FOUND) {
            EXPECT_EQ(process, nullptr);
            EXPECT_TRUE(testbed::CompanionRuns(role).empty());
            continue;
        }
        ASSERT_NE(process, nullptr);
        if (row.result == STILL_ACTIVE) {
            EXPECT_EQ(::WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still running";
            // It journals as it starts, which a loaded machine may not reach within the short wait.
            for (int i = 0; i < 600 && testbed::CompanionRuns(role).empty(); ++i) ::Sleep(100);
            ::TerminateProcess(process, 0);
        }
        ASSERT_EQ(::WaitForSingleObject(process, 60000), WAIT_OBJECT_0);
        const auto runs = testbed::CompanionRuns(role);
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].at(L"command"), L"\"" + file + L"\" /x");
        EXPECT_EQ(runs[0].at(L"directory"), file.substr(0, file.find_last_of(L'\\')));
    }
}

TEST_F(LaunchTest, HandlesAndCompletionAcrossRuns)
{
    testbed::SetCompanionKnob(L"tool", L"RunTime", INFINITE);
    CTaskExe task(kTool, L"");
    EXPECT_EQ(task.Run(), 0u) << "without a wait: started";
    const HANDLE first = task.GetProcessHandle();
    const DWORD firstId = ::GetProcessId(first);
    ASSERT_NE(firstId, 0u);
    EXPECT_EQ(task.Run(), 0u);
    EXPECT_NE(::GetProcessId(first), firstId) << "the second start closed the first process's handle";
    ScopedHandle stray(::OpenProcess(PROCESS_TERMINATE, FALSE, firstId));
    ::TerminateProcess(stray.Get(), 0);
    ::TerminateProcess(task.GetProcessHandle(), 0);
    EXPECT_EQ(task.CloseProcessHandle(), 0u);
    EXPECT_EQ(task.GetProcessHandle(), nullptr);

    // A refused run releases a thread waiting for it all the same.
    testbed::InstallCompanion(L"C:\\launch\\refused.exe", false);
    CTaskExe refused(L"C:\\launch\\refused.exe", L"");
    EXPECT_EQ(refused.GetResult(), static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    auto waiter = std::async(std::launch::async, [&] { return refused.Wait(), refused.GetResult(); });
    EXPECT_EQ(refused.Run(), 87u);
    ASSERT_EQ(waiter.wait_for(std::chrono::minutes(1)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 87u);
}


// A launcher that changes the machine at the worst moment: after the
// signature check, before the process is created.
class SwappingTaskExe : public CTaskExe {
public:
    SwappingTaskExe(std::wstring path, std::function<void()> swap) : CTaskExe(std::move(path), L"/x"), m_swap(swap) {}

protected:
    HANDLE StartProcess(const std::wstring& path, const std::wstring& parameters, DWORD launchMode, HANDLE image,
                        DWORD& error) override
    {
        m_swap();
        return CTaskExe::StartProcess(path, parameters, launchMode, image, error);
    }

private:
    std::function<void()> m_swap;
};

enum Swap { kNoSwap, kFolderRenamed, kNameRelinked };

// Each row: the path a job gives, the signed companion (and an unsigned one of the same name in the
// program's folder), what changes in the launch window, then the file that runs (null: nothing).
const struct {
    const char* name;
    const wchar_t* given;
    const wchar_t* file;
    bool decoyBesideProgram;
    Swap swap;
    DWORD mode;
    const wchar_t* runs;
} kLaunchWindow[] = {
    {"its folder renamed for one with a foreign twin: refused while held", L"C:\\launch\\swap0\\twin0.exe",
     L"C:\\launch\\swap0\\twin0.exe", false, kFolderRenamed, 0, L"C:\\launch\\swap0\\twin0.exe"},
    {"the same in the user's session", L"C:\\launch\\swap1\\twin1.exe", L"C:\\launch\\swap1\\twin1.exe", false,
     kFolderRenamed, 1, L"C:\\launch\\swap1\\twin1.exe"},
    {"its name re-linked to a foreign file: refused while held", L"C:\\launch\\relinked.exe",
     L"C:\\launch\\relinked.exe", false, kNameRelinked, 0, L"C:\\launch\\relinked.exe"},
    {"a hard link to the signed companion", L"C:\\launch\\linked.exe", L"C:\\launch\\original.exe", false,
     kNoSwap, 0, L"C:\\launch\\linked.exe"},
    {"a bare name: the program's folder comes first, as for process creation", L"launchbare",
     L"C:\\launch\\cwd\\launchbare.exe", true, kNoSwap, 0, nullptr},
    {"a bare name found in the current folder only", L"cwdonly", L"C:\\launch\\cwd\\cwdonly.exe", false, kNoSwap, 1,
     L"C:\\launch\\cwd\\cwdonly.exe"},
};

TEST_F(LaunchTest, TheCheckedFileIsTheFileThatRuns)
{
    testbed::UseSessionLibrary(L"native");
    testbed::SetSessions(L"3:0");
    testmachine::CreateFolder(L"C:\\launch\\cwd");
    ASSERT_TRUE(::SetCurrentDirectoryW(L"C:\\launch\\cwd"));
    for (const auto& row : kLaunchWindow) {
        SCOPED_TRACE(row.name);
        const std::wstring given = row.given, role = Role(given);
        const std::wstring folder = std::wstring(row.file).substr(0, std::wstring(row.file).find_last_of(L'\\'));
        testmachine::CreateFolder(folder);
        testbed::ClearCompanion(role);
        testbed::InstallCompanion(row.file);
        if (given != row.file && given.find(L'\\') != std::wstring::npos) {
            ASSERT_TRUE(::CreateHardLinkW(row.given, row.file, nullptr));
        }
        const std::wstring decoy = testmachine::BinDir() + L"\\" + role + L".exe";
        if (row.decoyBesideProgram) testbed::InstallCompanion(decoy, false);
        const std::wstring foreign = L"C:\\launch\\foreign-" + role + L".exe";
        testbed::InstallCompanion(foreign, false);
        TestLog().Clear();

        SwappingTaskExe task(row.given, [&] {
            if (row.swap == kFolderRenamed) {
                EXPECT_FALSE(::MoveFileW(folder.c_str(), (folder + L"-away").c_str()) &&
                             ::CreateDirectoryW(folder.c_str(), nullptr) && ::CopyFileW(foreign.c_str(), row.file, FALSE));
            } else if (row.swap == kNameRelinked) {
                EXPECT_FALSE(::DeleteFileW(row.file) && ::CreateHardLinkW(row.file, foreign.c_str(), nullptr));
            }
        });
        task.SetLaunchMode(row.mode);
        task.SetWaitForCompletion(60000);
        const std::wstring checked = row.decoyBesideProgram ? decoy : row.runs ? row.runs : row.file;
        EXPECT_EQ(task.Run(), row.runs ? 0u : 87u);
        EXPECT_EQ(TestLog().Has(L"Invalid Orvel Security Signature :" + checked), !row.runs);
        const auto runs = testbed::CompanionRuns(role);
        if (!row.runs) {
            EXPECT_TRUE(runs.empty()) << "the foreign file never ran";
        } else {
            ASSERT_EQ(runs.size(), 1u);
            EXPECT_EQ(runs[0].at(L"command"), L"\"" + std::wstring(row.runs) + L"\" /x");
        }
        if (row.decoyBesideProgram) ::DeleteFileW(decoy.c_str());
    }
}


// What a swap that got past the held file and folders would leave: a process whose image is another
// file than the one checked. A copy with the very same bytes is another file all the same.
TEST_F(LaunchTest, AProcessRunningAnotherFileThanTheCheckedOneIsEndedUnresumed)
{
    testbed::UseSessionLibrary(L"native");
    testbed::SetSessions(L"3:0");
    const std::wstring file = L"C:\\launch\\imaged.exe", link = L"C:\\launch\\imaged-link.exe";
    testbed::InstallCompanion(file);
    testbed::InstallCompanion(L"C:\\launch\\imaged-copy.exe");
    ASSERT_TRUE(::CreateHardLinkW(link.c_str(), file.c_str(), nullptr));
    for (const DWORD mode : {0u, 1u}) {
        for (const auto& [checked, runs] : {std::pair{link, true}, std::pair{std::wstring(L"C:\\launch\\imaged-copy.exe"), false}}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ", checked " << testing::PrintToString(checked));
            testbed::ClearCompanion(L"imaged");
            TestLog().Clear();
            ScopedHandle image(::CreateFileW(checked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            DWORD error = 12345;
            ScopedHandle process(CCPHelper().LaunchProcess(file.c_str(), L"", error, mode, image.Get()));
            EXPECT_EQ(error, runs ? 0u : kErrorImageNotChecked);
            EXPECT_EQ(TestLog().Has(L"The started process runs \"" + file + L"\", not the checked file; ended before it ran. ErrorCode: 577"), !runs);
            ASSERT_EQ(!!process, runs);
            if (runs) {
                ASSERT_EQ(::WaitForSingleObject(process.Get(), 60000), WAIT_OBJECT_0);
            }
            EXPECT_EQ(testbed::CompanionRuns(L"imaged").size(), runs ? 1u : 0u);
        }
    }
}

}  // namespace
