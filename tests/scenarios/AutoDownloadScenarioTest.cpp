// Context 4 through the real program on a provisioned machine (the demo's
// default installation): what a user can observe of each run — exit code,
// log lines, telemetry requests, calls into the suite, the data store and the
// scheduler records.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "tests/support/DataStoreKit.h"
#include "tests/support/JobScenario.h"
#include "tests/support/Machine.h"
#include "tests/support/SandboxTest.h"

#include <gtest/gtest.h>

namespace {

using namespace jobscenario;

const std::vector<std::string> kFullRun{"load", "IsAutodownloadMaxAttemptOver", "RunKrsAutoDownload",
                                        "IsKrsAutoDownloadCompleted", "unload"};

// Later in the framework's life: the suite installed, the task "AutoDownload" registered.
class AutoDownloadScenarioTest : public SandboxTest {
protected:
    void Provision(sandbox::Options options) override
    {
        options.start = sandbox::Start::SuiteInstalled;
        SandboxTest::Provision(options);
    }
    void Run(const std::wstring& arguments = L"/context=4") { SandboxTest::Run(arguments); }
    static bool TaskRegistered() { return jobscenario::TaskRegistered(L"AutoDownload"); }
    static Texts Events() { return jobscenario::Events(L"AutoDownload"); }
};

// What the suite answers decides the run's outcome. (A missing suite library reads as "not completed": the
// integration library's tests show that answer.)
TEST_F(AutoDownloadScenarioTest, SuiteAnswersDecideTheOutcome)
{
    const std::wstring deleted =
        L"CQELAutoDownload::DeleteAutoDownloadTask : AutoDownload task has been removed from QEL Scheduler Service.\n";
    const struct {
        const wchar_t* what;
        DWORD completed, attemptOver;  // the suite's answers
        bool storeHeld;                // another program holds the store file without sharing it
        Texts events;
        std::vector<std::string> suiteCalls;
        const wchar_t* countAfter;  // "autodownloadcount", which was 4 before
        const wchar_t* complete;    // "AutoDownloadComplete"
        bool taskKept;              // the scheduler runs the job again after its interval
        std::wstring line;
        const wchar_t* level;
    } cases[] = {
        {L"not completed", 0, 0, false, {L"Started", L"Complete", L"Failure"}, kFullRun, L"5", L"<absent>", true,
         L"CQELAutoDownload::OnAutoDownloadFailure - Autodownload failed!\n", L"Error"},
        {L"attempt limit", 0, 1, false, {L"Failure:MaxAutoDownloadAttemptReached"},
         {"load", "IsAutodownloadMaxAttemptOver", "unload"}, L"4", L"<absent>", false,
         L"Autodownload max attempt reached, no more retry!", L"Information"},
        {L"completed, store not writable", 1, 0, true, {L"Started", L"Complete", L"Success"}, kFullRun, L"4",
         L"<absent>", true,
         L"CQELAutoDownload::OnSuccessfulAutoDownload() - Error writing AutoDownloadCompleted status to data storage.\n",
         L"Error"},
        // The last row: its log is read once more below.
        {L"completed", 1, 0, false, {L"Started", L"Complete", L"Success"}, kFullRun, L"5", L"1", false, deleted,
         L"Normal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Provision({});
        Store().SetEntParameter(L"autodownloadcount", L"4");
        sandbox::SetSuiteAnswers(c.completed, c.attemptOver);
        ScopedHandle holder(c.storeHeld ? ::CreateFileW(datastorekit::StoreFile().c_str(), GENERIC_READ, 0, nullptr,
                                                        OPEN_EXISTING, 0, nullptr)
                                        : nullptr);
        Run(L"/CONTEXT=4");
        holder.Reset();
        EXPECT_TRUE(Logged(L"Processing the job:/CONTEXT=4")) << "the command line as the program received it";
        EXPECT_EQ(Events(), c.events);
        EXPECT_EQ(SuiteCalls(), c.suiteCalls);
        EXPECT_EQ(Status(L"autodownloadcount"), c.countAfter);
        EXPECT_EQ(Status(L"AutoDownloadComplete"), c.complete);
        EXPECT_EQ(TaskRegistered(), c.taskKept);
        EXPECT_EQ(LevelOf(c.line), c.level) << testing::PrintToString(c.line);
    }
    EXPECT_TRUE(LoggedInOrder({L"CQELAutoDownload::isInitialLaunchWaitElapsed - Initial launch wait time elapsed.",
                               L"CQELAutoDownload::IsAutoDownloadCompleted - AutoDownloadCompleted status is 1.",
                               L"CQELAutoDownload::InitiateAutoDownload - IsAutoDownloadCompleted status : 1",
                               L"Autodownload attempt count is:5"}));
}

TEST_F(AutoDownloadScenarioTest, InitialWaitAfterTheFirstRun)
{
    const struct {
        long long completedSecondsAgo;  // negative: not recorded
        const wchar_t* storedInstead;   // a raw "completedtime" text instead (nullptr: none)
        DWORD wait;                     // "FirstAutoDownloadCheckWait"
        bool elapsed;
    } cases[] = {
        {-1, nullptr, 7200, true},
        {-1, L"abc", 7200, true},  // not a number: counted from 1970
        {3600, nullptr, 7200, false},
        {3600, nullptr, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.completedSecondsAgo << " s ago, wait " << c.wait);
        sandbox::Options options;
        options.completedSecondsAgo = c.completedSecondsAgo;
        options.firstAutoDownloadCheckWait = c.wait;
        Provision(options);
        if (c.storedInstead) {
            CQelPersistenceData store;
            static_cast<IPersistenceOobeEula&>(store).SetOobeParameter(L"completedtime", c.storedInstead);
        }
        Run();
        if (c.elapsed) {
            EXPECT_EQ(Events().at(0), L"Started");
            EXPECT_EQ(SuiteCalls(), kFullRun);
            continue;
        }
        EXPECT_EQ(Events(), Texts{L"Aborted:InitialLaunchTime not elapsed"});
        EXPECT_TRUE(SuiteCalls().empty()) << "the suite is not asked before the wait is over";
        EXPECT_TRUE(Logged(L"First auto download check wait time is not lapsed, updating the task scheduler to "
                           L"launch after initial wait time"));
        EXPECT_TRUE(Logged(L"CQELAutoDownload::RegisterScheduleAutoDownloadTask - autodownload task is added "
                           L"successfully with QEL scheduler service"));
        EXPECT_TRUE(TaskRegistered());
        EXPECT_EQ(Status(L"autodownloadcount"), L"<absent>");
    }

    // Re-registration with too short a frequency is refused by the scheduler's rules.
    sandbox::Options options;
    options.completedSecondsAgo = 3600;
    options.firstAutoDownloadCheckWait = 7200;
    options.autoDownloadCheckFrequency = 299;
    options.registerStartTask = false;
    Provision(options);
    Run();
    EXPECT_EQ(LevelOf(L"CQELAutoDownload::RegisterScheduleAutoDownloadTask : Adding Auto Download task failed with "
                      L"error code = 87"),
              L"Error");
    EXPECT_FALSE(TaskRegistered());
}

TEST_F(AutoDownloadScenarioTest, WithoutAccessToTheSchedulerKeyTheServiceIsAskedToRemoveTheTask)
{
    sandbox::Options options;
    options.administrative = false;
    Provision(options);
    CQelPersistenceData store;
    auto& tasks = static_cast<IPersistenceScheduleTask&>(store);
    StringMap task;
    ASSERT_EQ(tasks.GetScheduleTask(L"AutoDownload", task), 0u) << "registered in the data store";
    EXPECT_EQ(task[L"Type"], L"3");
    sandbox::SetSuiteAnswers(1, 0);
    Run();
    ASSERT_EQ(tasks.GetScheduleTask(L"AutoDownload", task), 0u);
    EXPECT_EQ(task[L"Type"], L"1") << "a removal request for the scheduler service";
    EXPECT_EQ(Status(L"AutoDownloadComplete"), L"1");

    // The service honours the request: the task is gone from both places.
    testmachine::RunProgram(testmachine::BinDir() + L"\\schedsvc.exe", L"--run-due-now");
    StringList names;
    tasks.GetScheduleTaskNames(names);
    EXPECT_TRUE(names.empty());
}

}  // namespace
