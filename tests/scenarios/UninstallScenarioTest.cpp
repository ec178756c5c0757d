// Context 5 through the real program on the demo's default installation: what
// the installer is given, how the program ends, what is left of the framework,
// and the retry task when the installer cannot be started.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "scheduler/QelSchedulerConfig.h"
#include "testbed/StandinSupport.h"
#include "tests/support/JobScenario.h"
#include "tests/support/SandboxTest.h"
#include "tests/support/Testbed.h"
#include "trust/FileTrust.h"
#include "trust/PolicyCache.h"
#include "trust/PolicyCheck.h"
#include "trust/PolicyFile.h"
#include "trust/PolicyRecords.h"

namespace {

using namespace jobscenario;

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

TEST_F(UninstallScenarioTest, InstallerGetsTheInstallPathAndTheProgramEnds)
{
    const struct {
        const wchar_t* installDir;
        bool leave;  // the installer's knob: started, but it removes nothing
    } cases[] = {
        {L"C:\\Program Files\\Tarsen\\QEL", true},
        {L"C:\\Program Files\\Tarsen\\QEL", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(std::wstring(c.installDir)) << " leave " << c.leave);
        sandbox::Options options;
        options.installDir = c.installDir;
        Provision(options);
        testbed::SetCompanionKnob(L"tsinst", L"Leave", c.leave);
        Run();

        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().text + L"|" + lines.back().level + L"|" + lines.back().function,
                  kStarted + L"|Information|CQELCbHelper::UninstallQel")
            << "nothing runs after the installer started";
        const int appId = FindLogText(lines, L"Uninstall QEL. Appid: ");
        EXPECT_EQ(appId < 0 ? L"<absent>" : lines[static_cast<size_t>(appId)].level, L"Normal");
        // The path, blanks and all, as one quoted argument.
        const auto runs = testbed::CompanionRuns(L"tsinst");
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].at(L"command"), L"\"" + kInstaller + L"\" /uninstall /longpath \"" + c.installDir + L"\"");

        // Left in place, the framework shows that the program registered no retry.
        EXPECT_EQ(testmachine::KeyExists(kFrameworkKey), c.leave);
        EXPECT_EQ(testmachine::FileExists(program), c.leave);
        EXPECT_EQ(testmachine::FileExists(datastorekit::StoreFile()), c.leave);
        EXPECT_EQ(RegisteredTask(L"QelUninstall"), L"<none>");
    }
}

TEST_F(UninstallScenarioTest, TheInstallPathArrivesAsOneArgument)
{
    Provision(sandbox::Options());
    const std::wstring app = kFrameworkKey + L"\\APPS\\GCB";
    const std::wstring refused = L"The install path of GCB holds a quotation mark or a line break; not handed to the installer";
    // The installer reads its arguments by the platform's rules; a path it could not read whole never goes out.
    const struct {
        const wchar_t* installPath;
        bool handedOn;
    } cases[] = {
        {L"C:\\Tarsen\\QEL\\", true},
        {L"C:\\Tarsen\\QEL\\\\", true},
        {L"C:\\Tarsen  QEL\\Frame work ", true},
        {L"C:\\Programme\\T\u00e4rsen \u0395\u03bb\\QEL", true},
        {L"C:\\Tarsen\\QEL\" /quiet \"C:\\", false},
        {L"C:\\Tarsen\\QEL\r\n/quiet", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.installPath)));
        testmachine::SetString(app, L"InstallPath", c.installPath);
        testbed::ClearCompanion(L"tsinst");
        testbed::SetCompanionKnob(L"tsinst", L"Leave", 1);
        Run();

        const auto runs = testbed::CompanionRuns(L"tsinst");
        std::wstring registered;
        ASSERT_TRUE(testmachine::ReadString(app, L"InstallPath", registered));
        if (c.handedOn) {
            ASSERT_EQ(runs.size(), 1u);
            EXPECT_EQ(runs[0].at(L"argc"), L"3");
            EXPECT_EQ(runs[0].at(L"arg3"), registered);
            EXPECT_TRUE(Logged(kStarted));
            continue;
        }
        EXPECT_TRUE(runs.empty());
        EXPECT_EQ(LevelOf(refused), L"Error");
        EXPECT_TRUE(LoggedInOrder({refused, L"Failed to launch QelUninstaller, adding an uninstaller schduler. error:87"}));
        EXPECT_EQ(RegisteredTask(L"QelUninstall"), ExpectedTask());
    }
}

// (A missing install path or installer folder is a row of the job's table, JobTableTest.)
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

TEST_F(UninstallScenarioTest, WithoutAccessToTheSchedulerKeyTheRetryTaskGoesToTheDataStore)
{
    sandbox::Options options;
    options.administrative = false;
    Provision(options);
    testmachine::DeleteValue(kFrameworkKey + L"\\APPS\\GCB", L"InstallPath");
    Run();
    Run();
    CQelPersistenceData store;
    auto& tasks = static_cast<IPersistenceScheduleTask&>(store);
    StringList names;
    tasks.GetScheduleTaskNames(names);
    EXPECT_EQ(names, StringList{L"QelUninstall"}) << "one task, however many runs failed";
    StringMap task;
    SchedulerTaskRecord record;  // the data store keeps no WaitForComplete: it stays 0
    EXPECT_EQ(tasks.GetScheduleTask(L"QelUninstall", task), ERROR_SUCCESS);
    EXPECT_EQ(MapToTask(task, record), ERROR_SUCCESS);
    EXPECT_EQ(TaskText(record), ExpectedTask());
}

TEST_F(UninstallScenarioTest, APolicyFileLockedByAnotherProcessIsJudgedByItsVerifiedCopy)
{
    // Another process holds the installed policy file's lock for longer than
    // any run: the job's signature check waits for it a bounded time, then
    // judges with the machine's verified copy of it (without one, it trusts
    // nothing). The installer is signed by "Tarsen, Inc.", whose certificate
    // blocked.js blocks.
    const std::wstring policy = CPolicyCache::Path();
    const std::wstring refused = L"Invalid Orvel Security Signature :" + kInstaller;
    const std::wstring lockedOut = L"Policy file " + policy + L": not used: " + LockedOutReason(kPolicyReadLockWaitMs);
    const struct {
        const wchar_t* installed;
        const wchar_t* copy;  // null: none kept
        bool started;
    } kCases[] = {{L"v6.js", L"v6.js", true}, {L"blocked.js", L"blocked.js", false}, {L"v6.js", nullptr, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(std::wstring(c.installed)) << (c.copy != nullptr));
        Provision(sandbox::Options());
        testbed::SetCompanionKnob(L"tsinst", L"Leave", 1);
        testmachine::CreateFolder(policy.substr(0, policy.find_last_of(L'\\')));
        ASSERT_TRUE(::CopyFileW(testbed::TrustSample(c.installed).c_str(), policy.c_str(), FALSE));
        if (c.copy) {
            const std::vector<BYTE> bytes = testmachine::ReadBytes(testbed::TrustSample(c.copy));
            testmachine::SetBinary(kPolicyRecordsKey, kPolicyCopyValue, bytes.data(), static_cast<DWORD>(bytes.size()));
        }
        {
            ScopedHandle holder(::CreateFileW(policy.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
            OVERLAPPED all{};
            ASSERT_TRUE(::LockFileEx(holder.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &all));
            Run();
        }
        EXPECT_EQ(testbed::CompanionRuns(L"tsinst").size(), c.started ? 1u : 0u);
        const std::wstring judged =
            L"Policy file " + policy +
            (c.copy ? L": judged with its verified copy of version 6 in HKLM\\" + std::wstring(kPolicyRecordsKey) +
                          L"\\" + kPolicyCopyValue
                    : L": it cannot be read and no verified copy of it is kept: no file is trusted until it can be used");
        EXPECT_TRUE(LoggedInOrder({lockedOut, judged, c.started ? kStarted : refused}));
        if (!c.started) {
            EXPECT_TRUE(LoggedInOrder({refused, L"Failed to launch QelUninstaller, adding an uninstaller schduler. error:87"}));
            EXPECT_EQ(RegisteredTask(L"QelUninstall"), ExpectedTask());
        }
        ::DeleteFileW(policy.c_str());
        testmachine::DeleteValue(kPolicyRecordsKey, kPolicyCopyValue);
    }
}

}  // namespace
