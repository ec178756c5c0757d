// Context 4 through the real program on a provisioned machine (the demo's
// default installation): what a user can observe of each run — exit code,
// log lines, telemetry requests, calls into the suite, the data store and the
// scheduler records.
#include "common/Platform.h"

#include "datastore/QelPersistenceData.h"
#include "tests/support/Machine.h"
#include "tests/support/SandboxTest.h"

#include <gtest/gtest.h>

namespace {

const SandboxTest::Calls kFullRun{"load", "IsAutodownloadMaxAttemptOver", "RunKrsAutoDownload",
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
    static Texts Events() { return SandboxTest::Events(L"AutoDownload"); }
};

// The suite reports completion, through the real library, store, scheduler and telemetry client, to a run
// without access to the scheduler key: the task goes as a removal request for the scheduler service. (Each
// decision of the job is a row of its table, JobTableTest; a task removed from the key: KrsDownloadScenarioTest.)
TEST_F(AutoDownloadScenarioTest, ACompletedAutoDownloadWithoutAccessToTheSchedulerKey)
{
    sandbox::Options options;
    options.administrative = false;
    Provision(options);
    CQelPersistenceData store;
    auto& tasks = static_cast<IPersistenceScheduleTask&>(store);
    StringMap task;
    ASSERT_EQ(tasks.GetScheduleTask(L"AutoDownload", task), 0u) << "registered in the data store";
    EXPECT_EQ(task[L"Type"], L"3");
    Store().SetEntParameter(L"autodownloadcount", L"4");
    sandbox::SetSuiteAnswers(1, 0);
    Run(L"/CONTEXT=4");
    EXPECT_TRUE(Logged(L"Processing the job:/CONTEXT=4")) << "the command line as the program received it";
    EXPECT_EQ(Events(), (Texts{L"Started", L"Complete", L"Success"}));
    EXPECT_EQ(SuiteCalls(), kFullRun);
    EXPECT_EQ(Status(L"autodownloadcount"), L"5");
    EXPECT_EQ(Status(L"AutoDownloadComplete"), L"1");
    ASSERT_EQ(tasks.GetScheduleTask(L"AutoDownload", task), 0u);
    EXPECT_EQ(task[L"Type"], L"1") << "a removal request for the scheduler service";

    // The service honours the request: the task is gone from both places.
    testmachine::RunProgram(testmachine::BinDir() + L"\\schedsvc.exe", L"--run-due-now");
    StringList names;
    tasks.GetScheduleTaskNames(names);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(RegisteredTask(L"AutoDownload"), L"<none>");
}

}  // namespace
