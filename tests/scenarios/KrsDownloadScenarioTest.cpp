// Context 2 through the real program on the demo's default installation: a
// freshly pre-installed machine (the suite absent, "KRSDownload" registered
// every 1800 s) whose updater stand-in installs the suite, after which the
// suite's post-install signal follows.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "jobs/JobServices.h"
#include "jobs/QELKRSDownload.h"
#include "logging/Log.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/JobScenario.h"
#include "tests/support/OwnerSeam.h"
#include "tests/support/Machine.h"
#include "tests/support/SandboxTest.h"
#include "tests/support/Testbed.h"

#include <functional>

namespace {

using namespace jobscenario;
using Calls = std::vector<std::string>;

const std::wstring kPartnerKey = L"SOFTWARE\\Tarsen\\QEL\\PARTNER\\1234";
const std::wstring kUpdaterKnobs = L"SOFTWARE\\Tarsen\\Testbed\\QELUpdater";
const std::wstring kInstallDir = L"C:\\Program Files\\Tarsen\\QEL";
const std::wstring kStopped = L"Aborted:Pre Krsdownload check failed.";
const std::wstring kUpdaterCommand = L"\"" + kInstallDir + L"\\QELUpdater.exe\" /Install:qelkrs";
const Calls kIntegration{"load", "AddQelIntoRvnQueryparam", "UpdateOobeDoneState", "UpdateJEulaAcceptance", "unload"};

// The program's services with short waits, the installed suite library and the owner a row answers.
struct InProcessServices : CJobServices {
    AnsweringOwners<> owners;
    const JobWaits waits{60000, 200, 50};
    std::unique_ptr<CQELKrsIntegrate> IntegrationLibrary() override
    {
        return std::make_unique<CQELKrsIntegrate>(kInstallDir + L"\\");
    }
    const JobWaits& Waits() override { return waits; }
    CObjectOwners& Owners() override { return owners; }
};

class KrsDownloadScenarioTest : public SandboxTest {
protected:
    void Run() { SandboxTest::Run(L"/context=2"); }
    static Texts Events() { return jobscenario::Events(L"KrsDownload"); }
    static void Setting(const wchar_t* name, const wchar_t* value) { testmachine::SetString(kPartnerKey, name, value); }
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

// Runs that get past the suite check with the real companions: the retry, a refused updater, the suite installed.
// (Each decision of the job is a row of its table, JobTableTest.)
TEST_F(KrsDownloadScenarioTest, AttemptsAndTheirOutcome)
{
    const struct {
        const wchar_t* count;  // "krsdownloadcount" before the run (nullptr: none)
        bool installsSuite;
        bool signedUpdater;
        // What the run leaves.
        bool updaterStarted;
        Texts events;
        const wchar_t* countAfter;
        DWORD interval;  // of "KRSDownload"; 0: deleted
        std::wstring line;
        const wchar_t* level;
    } cases[] = {
        {L"19", false, true, true, {L"Started", L"Complete"}, L"20", 10800,
         L"CQELKRSDownload::InitiateKRSDownload() - Re-attaching krsdownlod task for retry.", L"Normal"},
        {nullptr, true, false, false, {L"Started"}, L"<absent>", 1800,
         L"Invalid Orvel Security Signature :" + kInstallDir + L"\\QELUpdater.exe", L"Error"},
        {nullptr, true, true, true, {L"Started", L"Complete", L"Success"}, L"1", 0,
         L"CQELKRSDownload::InitiateKRSDownload() - KRSDownload task has been completed successfully!", L"Normal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "count " << (c.count ? c.count : L"-") << ", signed " << c.signedUpdater);
        Provision({});
        if (c.count) Store().SetEntParameter(L"krsdownloadcount", c.count);
        testbed::SetCompanionKnob(L"QELUpdater", L"InstallsSuite", c.installsSuite);
        if (!c.signedUpdater) testbed::InstallCompanion(kInstallDir + L"\\QELUpdater.exe", false);
        Run();
        EXPECT_EQ(Starts(L"QELUpdater"), c.updaterStarted ? Texts{kUpdaterCommand} : Texts{});
        EXPECT_EQ(Events(), c.events);
        EXPECT_EQ(Status(L"krsdownloadcount"), c.countAfter);
        EXPECT_EQ(RegisteredTask(L"KRSDownload"), c.interval ? Task(c.interval) : L"<none>");
        EXPECT_EQ(LevelOf(c.line), c.level) << testing::PrintToString(c.line);
    }
}

// An installed suite is integrated whenever the job finds it, and the run still ends as a stopped pre-check.
TEST_F(KrsDownloadScenarioTest, IntegrationWithAnInstalledSuite)
{
    const std::wstring helper = kInstallDir + L"\\QELHelper.exe";
    const struct {
        const wchar_t* what;
        std::function<void()> arrange;
        bool helperStarted;
        std::wstring line;
        const wchar_t* level;
    } cases[] = {
        {L"defaults", [] {}, true,
         L"CQELKRSDownload::RegisterQelWithKrsUninstall - return value of Run() = 0", L"Normal"},
        {L"unsigned helper", [&] { testbed::InstallCompanion(helper, false); }, false,
         L"Invalid Orvel Security Signature :" + helper, L"Error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Provision({});
        c.arrange();
        testmachine::SetString(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RVN", L"DisplayName", L"KRS");
        Run();
        EXPECT_EQ(Events(), (Texts{L"Success", kStopped}));
        EXPECT_EQ(LevelOf(c.line), c.level) << testing::PrintToString(c.line);
        EXPECT_TRUE(LoggedInOrder({L"KRS is already installed in this machine. So no need to install again.",
                                   L"OnSuccessfulKRSDownload actions...",
                                   L"OnSuccessfulKRSDownload action complete. Deleting krs download task from "
                                   L"scheduler.",
                                   L"pre-Krsdownload check failure, cannot continue with Krs Download."}));
        EXPECT_EQ(SuiteCalls(), kIntegration);
        const Texts helperStart{L"\"" + helper + L"\" /RegisterAppidWithKRS:GCB"};
        EXPECT_EQ(Starts(L"QELHelper"), c.helperStarted ? helperStart : Texts{});
        EXPECT_TRUE(Starts(L"QELUpdater").empty());
        EXPECT_TRUE(TaskRegistered(L"AutoDownload"));
        EXPECT_FALSE(TaskRegistered(L"KRSDownload")) << "deleted whatever failed before";
        EXPECT_EQ(Status(L"KRSDownloadComplete"), L"1");
    }
}

TEST_F(KrsDownloadScenarioTest, AnotherVendorsProduct)
{
    const std::wstring installer = L"C:\\Program Files\\Tarsen\\TsInst\\tsinst.exe";
    const struct {
        const wchar_t* what;
        std::function<void()> arrange;
        bool uninstallerStarted;
        bool retryTask;  // "QelUninstall" registered
        Texts events;
        std::wstring line;
        const wchar_t* level;
    } cases[] = {
        {L"found, uninstall",
         [] { testbed::SetForeignScanAnswer(1), Setting(L"UninstallOnTPSoftwareDetection", L"1"); }, true, false,
         {L"Aborted:3rdParty Product Detected"}, L"QelUninstaller Launch success, Exiting the process.",
         L"Information"},
        {L"found, uninstaller refused",
         [&] {
             testbed::SetForeignScanAnswer(1), Setting(L"UninstallOnTPSoftwareDetection", L"1");
             testbed::InstallCompanion(installer, false);
         },
         false, true, {L"Aborted:3rdParty Product Detected", kStopped},
         L"Failed to launch QelUninstaller, adding an uninstaller schduler. error:87", L"Error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Provision({});
        c.arrange();
        Run();
        EXPECT_EQ(LevelOf(c.line), c.level) << testing::PrintToString(c.line);
        EXPECT_EQ(Starts(L"tsinst"), c.uninstallerStarted ? Texts{L"\"" + installer + L"\" /uninstall /longpath \"" +
                                                                     kInstallDir + L"\""}
                                                          : Texts{});
        if (c.uninstallerStarted) {
            EXPECT_EQ(lines.back().text, c.line) << "the process ends with the uninstaller's start";
        }
        EXPECT_EQ(Events(), c.events);
        EXPECT_EQ(testbed::ForeignScanCalls(), (Calls{"load", "IsAnyThirdPartyProductInstalled answer=1", "unload"}));
        EXPECT_TRUE(Starts(L"QELUpdater").empty());
        EXPECT_EQ(RegisteredTask(L"KRSDownload"), c.uninstallerStarted ? L"<none>" : Task(1800))
            << "unless removed, the next run checks again";
        EXPECT_EQ(TaskRegistered(L"QelUninstall"), c.retryTask);
    }
}

// The post-install signal reaches the job whenever it comes; without it the run goes on. An event that
// somebody else made first, already set, counts only from LocalSystem or an administrator (whose it is
// is answered by the seam around the real event: this machine cannot show owners); else the job waits
// for the suite's uninstall entry instead, which the updater made here.
TEST_F(KrsDownloadScenarioTest, PostInstallSignal)
{
    const struct {
        const wchar_t* what;
        long signalAfter;  // ms after the updater ends; negative: never
        bool nameTaken;    // another kind of object already has the event's name
        bool inProcess;    // the job with a short wait, in this process
        std::wstring line;
        const wchar_t* level;
        bool planted = false;  // the event made first, already set, by the owner answered
        ObjectOwner owner = ObjectOwner::Other;
    } cases[] = {
        {L"set before the job opens it", 0, false, false, L"WaitForSingleObject completed with the result : 0",
         L"Information"},
        {L"set while the job waits", 1500, false, false, L"WaitForSingleObject completed with the result : 0",
         L"Information"},
        {L"the name is taken", -1, true, false, L"Failed to Create the event EVENT_QELKRS_POSTINSTALL.", L"Critical"},
        {L"the name is taken: the suite's entry instead", -1, true, false, L"The suite's uninstall entry is there",
         L"Information"},
        {L"planted set by a user", -1, false, true,
         L"The event EVENT_QELKRS_POSTINSTALL belongs to S-1-5-21-1004336348-1177238915-682003330-1001, neither "
         L"LocalSystem nor an administrator: it is ignored",
         L"Error", true},
        {L"planted set by a user: the suite's entry instead", -1, false, true, L"The suite's uninstall entry is there",
         L"Information", true},
        {L"set first by LocalSystem", -1, false, true, L"WaitForSingleObject completed with the result : 0",
         L"Information", true, ObjectOwner::Rightful},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Provision({});
        if (c.signalAfter < 0) testmachine::DeleteValue(kUpdaterKnobs, L"SignalAfter");
        if (c.signalAfter >= 0) testbed::SetCompanionKnob(L"QELUpdater", L"SignalAfter", DWORD(c.signalAfter));
        const wchar_t* name = CQELKRSDownload::kPostInstallEventName;
        ScopedHandle squatter(c.nameTaken ? ::CreateMutexW(nullptr, FALSE, name)
                              : c.planted ? ::CreateEventW(nullptr, TRUE, TRUE, name)
                                          : nullptr);
        if (c.inProcess) {
            TestLog().Clear();
            auto services = std::make_shared<InProcessServices>();
            services->owners.answer = c.owner;
            CQELKRSDownload(services).ProcessJob();
            const CapturedLine line = TestLog().Find(c.line);
            EXPECT_EQ(LogLevelName(line.level) ? LogLevelName(line.level) : L"<absent>", std::wstring(c.level));
        } else {
            Run();
            EXPECT_EQ(LevelOf(c.line), c.level);
        }
        if (c.signalAfter >= 0) {  // the job took the signal: it reset the event
            EXPECT_EQ(testbed::CompanionRuns(L"KrsPostInstall").back()[L"signal"], L"taken");
        }
        EXPECT_EQ(Events(), (Texts{L"Started", L"Complete", L"Success"})) << "the wait's outcome changes nothing";
        EXPECT_EQ(Status(L"krsdownloadcount"), L"1");
    }
}

}  // namespace
