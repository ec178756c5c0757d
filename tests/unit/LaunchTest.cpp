#include "common/Platform.h"

#include "process/CreateProcessHelper.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using Calls = std::vector<std::string>;
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
    Calls calls;
    const wchar_t* logLine;
} kStrategies[] = {
    {"launch mode 0 runs as the caller even with an active session", 0, L"native", L"3:0", 0, 0, L"noshell.exe", 0,
     true, false, {}, L"Successfully created process (\"C:\\launch\\tool.exe\" /a  b)"},
    {"the first active session, after a disconnected one", 1, L"native", L"2:4 3:0 4:0", 0, 0, L"noshell.exe", 0,
     true, true, {"WTSEnumerateSessionsW count=3", "WTSFreeMemory", "WTSQueryUserToken session=3"},
     L"_IsActiveOrAdminSessionAvailable: SessionId = 2, State = 4\n"},
    {"no active session and no shell: nothing starts", 1, L"native", L"2:4", 0, 0, L"noshell.exe", 0, false,
     false, {"WTSEnumerateSessionsW count=1", "WTSFreeMemory"},
     L"CCPHelper::_RunProcessAsUserNT: _GetShellPid = 0"},
    {"no shell named: the shell strategy's error", 1, nullptr, L"", 0, 0, nullptr, ERROR_FILE_NOT_FOUND,
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

        DWORD error = 12345;
        ScopedHandle process(CCPHelper().LaunchProcess(kTool.c_str(), L"/a  b", error, row.mode));
        EXPECT_EQ(error, row.error);
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
        EXPECT_EQ(run[L"directory"], L"C:\\launch");
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
    for (auto [path, extra, error] : {std::tuple{L"", L"", 0u}, std::tuple{kTool.c_str(), L"x", 206u}}) {
        DWORD result = 12345;
        EXPECT_EQ(CCPHelper().LaunchProcess(path, (parameters + extra).c_str(), result, 1), nullptr);
        EXPECT_EQ(result, error);
    }
    EXPECT_EQ(CCPHelper().LaunchProcess(nullptr, L"", *std::make_unique<DWORD>(), 0), nullptr);
    EXPECT_TRUE(testbed::SessionCalls().empty());
    EXPECT_TRUE(testbed::CompanionRuns(L"tool").empty());
}

}  // namespace
