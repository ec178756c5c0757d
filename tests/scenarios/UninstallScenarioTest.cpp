// Context 5 through the real program on the demo's default installation: what
// the installer is given, how the program ends, what is left of the framework,
// and the retry task when the installer cannot be started.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "testbed/StandinSupport.h"
#include "tests/support/SandboxTest.h"
#include "tests/support/Testbed.h"
#include "trust/PolicyCache.h"
#include "trust/PolicyFile.h"
#include "trust/PolicyRecords.h"

namespace {

const std::wstring kFrameworkKey = L"SOFTWARE\\Tarsen\\QEL";
const std::wstring kInstaller = L"C:\\Program Files\\Tarsen\\TsInst\\tsinst.exe";
const std::wstring kStarted = L"QelUninstaller Launch success, Exiting the process.";

class UninstallScenarioTest : public SandboxTest {
protected:
    void Provision(sandbox::Options options) override
    {
        options.registerStartTask = false;
        SandboxTest::Provision(options);
    }
    // Context 5, started by the scheduler stand-in with `scheduler`; the installer it may have started, which it
    // does not wait for, is waited for.
    void Run(bool scheduler = false) { SandboxTest::Run(L"/context=5", scheduler); }
    std::wstring ExpectedTask() const
    {
        return L"QelUninstall|Uninstall task|" + program + L"|/context=5|3|1|3600|0|0|1800|0";
    }
};

// The installer reads its arguments by the platform's rules: the install path, blanks, closing backslashes and
// all, arrives as one argument; the program ends with the installer's start and registers no retry. (A path the
// installer could not read whole, a missing path or installer folder: rows of the job's table, JobTableTest.)
TEST_F(UninstallScenarioTest, TheInstallPathArrivesAsOneArgumentAndTheProgramEnds)
{
    const std::wstring app = kFrameworkKey + L"\\APPS\\GCB";
    for (const wchar_t* installPath : {L"C:\\Program Files\\Tarsen\\QEL", L"C:\\Tarsen\\QEL\\",
                                       L"C:\\Tarsen\\QEL\\\\", L"C:\\Tarsen  QEL\\Frame work ",
                                       L"C:\\Programme\\T\u00e4rsen \u0395\u03bb\\QEL"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(installPath)));
        testmachine::SetString(app, L"InstallPath", installPath);
        testbed::ClearCompanion(L"tsinst");
        testbed::SetCompanionKnob(L"tsinst", L"Leave", 1);  // started, but it removes nothing
        Run();

        const auto runs = testbed::CompanionRuns(L"tsinst");
        ASSERT_EQ(runs.size(), 1u) << "the program's log: " << testing::PrintToString(LogTexts(lines));
        EXPECT_EQ(runs[0].at(L"argc"), L"3");
        EXPECT_EQ(runs[0].at(L"arg3"), installPath);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().text + L"|" + lines.back().level + L"|" + lines.back().function,
                  kStarted + L"|Information|CQELCbHelper::UninstallQel")
            << "nothing runs after the installer started";
        EXPECT_EQ(RegisteredTask(L"QelUninstall"), L"<none>");
    }
}

TEST_F(UninstallScenarioTest, InstallerThatCannotBeStartedIsTriedAgainByTheRetryTask)
{
    const std::wstring refused = L"Invalid Orvel Security Signature :" + kInstaller;
    // As tsinst.exe in the installer's folder; "": none.
    const wchar_t* const builds[] = {
        L"companion-unsigned.exe", L"",
        // Signatures an attacker can make: a forged cross certificate to a pinned root, a self-made time stamp.
        L"trust\\forged-cross.exe", L"trust\\expired-forged-ts.exe"};
    for (const wchar_t* build : builds) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(build)));
        sandbox::Options options;
        options.installerBuild = build;
        Provision(options);
        Run();

        EXPECT_TRUE(LoggedInOrder({L"Uninstall QEL. Appid: ", refused, L"Error when tryng to uninstall QEL",
                                   L"Failed to launch QelUninstaller, adding an uninstaller schduler. error:87"}));
        EXPECT_EQ(FindLogText(lines, kStarted), -1);
        EXPECT_TRUE(testbed::CompanionRuns(L"tsinst").empty());
        EXPECT_EQ(RegisteredTask(L"QelUninstall"), ExpectedTask());
    }

    // The last case left no installer; once there, the scheduler's next run of the task uninstalls.
    testbed::InstallCompanion(kInstaller);
    Run(true);
    EXPECT_FALSE(testmachine::KeyExists(kFrameworkKey)) << "settings and scheduler records";
    EXPECT_FALSE(testmachine::FileExists(installDir));
    EXPECT_FALSE(testmachine::FileExists(datastorekit::StoreFile()));
}

TEST_F(UninstallScenarioTest, APolicyFileLockedByAnotherProcessIsJudgedByItsVerifiedCopy)
{
    // Another process holds the installed policy file's lock for longer than
    // any run: the job's signature check waits for it a bounded time, then
    // judges with the machine's verified copy of it. The installer is signed
    // by "Tarsen, Inc.", whose certificate blocked.js blocks. (Without a copy
    // nothing is trusted: TrustPolicyTest.)
    const std::wstring policy = CPolicyCache::Path();
    const std::wstring refused = L"Invalid Orvel Security Signature :" + kInstaller;
    const std::wstring lockedOut = L"Policy file " + policy + L": not used: " + LockedOutReason(kPolicyReadLockWaitMs);
    const std::wstring judged = L"Policy file " + policy + L": judged with its verified copy of version 6 in HKLM\\" +
                                kPolicyRecordsKey + L"\\" + kPolicyCopyValue;
    for (const bool blocked : {false, true}) {
        SCOPED_TRACE(blocked);
        const wchar_t* sample = blocked ? L"blocked.js" : L"v6.js";
        Provision(sandbox::Options());
        testbed::SetCompanionKnob(L"tsinst", L"Leave", 1);
        testmachine::CreateFolder(policy.substr(0, policy.find_last_of(L'\\')));
        ASSERT_TRUE(::CopyFileW(testbed::TrustSample(sample).c_str(), policy.c_str(), FALSE));
        const std::vector<BYTE> bytes = testmachine::ReadBytes(testbed::TrustSample(sample));
        testmachine::SetBinary(kPolicyRecordsKey, kPolicyCopyValue, bytes.data(), static_cast<DWORD>(bytes.size()));
        {
            ScopedHandle holder(::CreateFileW(policy.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
            OVERLAPPED all{};
            ASSERT_TRUE(::LockFileEx(holder.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &all));
            Run();
        }
        EXPECT_EQ(testbed::CompanionRuns(L"tsinst").size(), blocked ? 0u : 1u);
        EXPECT_TRUE(LoggedInOrder({lockedOut, judged, blocked ? refused : kStarted}));
        EXPECT_EQ(RegisteredTask(L"QelUninstall"), blocked ? ExpectedTask() : L"<none>");
        ::DeleteFileW(policy.c_str());
        testmachine::DeleteValue(kPolicyRecordsKey, kPolicyCopyValue);
    }
}

}  // namespace
