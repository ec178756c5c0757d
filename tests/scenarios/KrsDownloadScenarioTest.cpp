// Context 2 through the real program on the demo's default installation: a
// freshly pre-installed machine (the suite absent, "KRSDownload" registered
// every 1800 s) whose updater stand-in may install the suite, after which the
// suite's post-install signal follows. Each decision of the job is a row of
// its table (JobTableTest); here, the real companions, libraries, signal,
// store and scheduler records.
#include "common/Platform.h"

#include "tests/support/Machine.h"
#include "tests/support/SandboxTest.h"
#include "tests/support/Testbed.h"

namespace {

const std::wstring kInstallDir = L"C:\\Program Files\\Tarsen\\QEL";
const std::wstring kStopped = L"Aborted:Pre Krsdownload check failed.";

class KrsDownloadScenarioTest : public SandboxTest {
protected:
    void Run() { SandboxTest::Run(L"/context=2"); }
    static Texts Events() { return SandboxTest::Events(L"KrsDownload"); }
    // The command lines a companion was started with.
    static Texts Starts(const wchar_t* role)
    {
        Texts commands;
        for (auto& run : testbed::CompanionRuns(role)) commands.push_back(run[L"command"]);
        return commands;
    }
    static std::wstring Task(DWORD interval)
    {
        return L"KRSDownload|KRSDownload task|" + kInstallDir + L"\\QELCommonBuild.exe|/context=2|3|1|" +
               std::to_wstring(interval) + L"|0|0|1800|0";
    }
};

// The updater (refused unsigned), the post-install signal taken whether it comes before the job opens the
// event or while the job waits, and the run's records: a retry, or the suite installed.
TEST_F(KrsDownloadScenarioTest, TheUpdaterAndThePostInstallSignal)
{
    const std::wstring updater = kInstallDir + L"\\QELUpdater.exe";
    const struct {
        bool installsSuite, signedUpdater;
        DWORD signalAfter;  // ms after the updater ends
        Texts events;
        const wchar_t* count;  // "krsdownloadcount" after the run
        DWORD interval;        // of "KRSDownload"; 0: deleted
        std::wstring line;
        const wchar_t* level;
    } cases[] = {
        {false, true, 0, {L"Started", L"Complete"}, L"1", 10800, L"WaitForSingleObject completed with the result : 0",
         L"Information"},
        {true, true, 1500, {L"Started", L"Complete", L"Success"}, L"1", 0,
         L"WaitForSingleObject completed with the result : 0", L"Information"},
        {true, false, 0, {L"Started"}, L"<absent>", 1800, L"Invalid Orvel Security Signature :" + updater, L"Error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "suite " << c.installsSuite << ", signed " << c.signedUpdater);
        Provision({});
        testbed::SetCompanionKnob(L"QELUpdater", L"InstallsSuite", c.installsSuite);
        testbed::SetCompanionKnob(L"QELUpdater", L"SignalAfter", c.signalAfter);
        if (!c.signedUpdater) testbed::InstallCompanion(updater, false);
        Run();
        EXPECT_EQ(Starts(L"QELUpdater"), c.signedUpdater ? Texts{L"\"" + updater + L"\" /Install:qelkrs"} : Texts{});
        if (c.signedUpdater) {  // the job took the signal: it reset the event
            EXPECT_EQ(testbed::CompanionRuns(L"KrsPostInstall").back()[L"signal"], L"taken");
        }
        EXPECT_EQ(Events(), c.events);
        EXPECT_EQ(Status(L"krsdownloadcount"), c.count);
        EXPECT_EQ(RegisteredTask(L"KRSDownload"), c.interval ? Task(c.interval) : L"<none>");
        EXPECT_EQ(LevelOf(c.line), c.level) << testing::PrintToString(c.line);
    }
}

// An installed suite is integrated through its real library and the helper (refused unsigned), and the run
// still ends as a stopped pre-check.
TEST_F(KrsDownloadScenarioTest, IntegrationWithAnInstalledSuite)
{
    const std::wstring helper = kInstallDir + L"\\QELHelper.exe";
    for (const bool signedHelper : {true, false}) {
        SCOPED_TRACE(signedHelper);
        Provision({});
        if (!signedHelper) testbed::InstallCompanion(helper, false);
        testmachine::SetString(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RVN", L"DisplayName", L"KRS");
        Run();
        EXPECT_EQ(Events(), (Texts{L"Success", kStopped}));
        EXPECT_EQ(LevelOf(L"Invalid Orvel Security Signature :" + helper), signedHelper ? L"<absent>" : L"Error");
        EXPECT_EQ(SuiteCalls(), (Calls{"load", "AddQelIntoRvnQueryparam", "UpdateOobeDoneState",
                                       "UpdateJEulaAcceptance", "unload"}));
        EXPECT_EQ(Starts(L"QELHelper"), signedHelper ? Texts{L"\"" + helper + L"\" /RegisterAppidWithKRS:GCB"} : Texts{});
        EXPECT_TRUE(Starts(L"QELUpdater").empty());
        EXPECT_NE(RegisteredTask(L"AutoDownload"), L"<none>");
        EXPECT_EQ(RegisteredTask(L"KRSDownload"), L"<none>");
        EXPECT_EQ(Status(L"KRSDownloadComplete"), L"1");
    }
}

// The real scanner finds another vendor's product; the installer is started and the process ends.
TEST_F(KrsDownloadScenarioTest, AnotherVendorsProductIsUninstalled)
{
    const std::wstring installer = L"C:\\Program Files\\Tarsen\\TsInst\\tsinst.exe";
    testbed::SetForeignScanAnswer(1);
    testmachine::SetString(L"SOFTWARE\\Tarsen\\QEL\\PARTNER\\1234", L"UninstallOnTPSoftwareDetection", L"1");
    Run();
    EXPECT_EQ(testbed::ForeignScanCalls(), (Calls{"load", "IsAnyThirdPartyProductInstalled answer=1", "unload"}));
    EXPECT_EQ(Starts(L"tsinst"), Texts{L"\"" + installer + L"\" /uninstall /longpath \"" + kInstallDir + L"\""});
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text, L"QelUninstaller Launch success, Exiting the process.");
    EXPECT_EQ(Events(), Texts{L"Aborted:3rdParty Product Detected"});
    EXPECT_TRUE(Starts(L"QELUpdater").empty());
    EXPECT_EQ(RegisteredTask(L"KRSDownload"), L"<none>");
}

}  // namespace
