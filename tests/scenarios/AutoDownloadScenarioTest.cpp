// Context 4 through the real program on a provisioned machine (the demo's
// default installation): what a user can observe of each run — exit code,
// log lines, telemetry requests, calls into the suite, the data store and the
// scheduler records.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "tests/support/Installation.h"
#include "tests/support/DataStoreKit.h"
#include "tests/support/LogFile.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

namespace {

const std::wstring kTaskKey = L"SOFTWARE\\Tarsen\\QEL\\SCHEDULER\\AutoDownload";
using Texts = std::vector<std::wstring>;

// A string member of the request's "event_data" object.
std::wstring JsonString(const std::wstring& request, const std::wstring& name)
{
    const std::wstring marker = L"\"" + name + L"\":\"";
    const size_t data = request.find(L"\"event_data\":");
    const size_t at = data == std::wstring::npos ? data : request.find(marker, data);
    if (at == std::wstring::npos) return L"<absent>";
    const size_t begin = at + marker.size();
    return request.substr(begin, request.find(L'"', begin) - begin);
}

// Each telemetry request as "EventState" or "EventState:EventData".
Texts Events()
{
    Texts events;
    for (const auto& request : testbed::TelemetryRequests()) {
        EXPECT_EQ(JsonString(request, L"EventName") + JsonString(request, L"EventType") +
                      JsonString(request, L"EventSource"),
                  L"AutoDownloadSilentScheduler");
        const std::wstring data = JsonString(request, L"EventData");
        events.push_back(JsonString(request, L"EventState") + (data.empty() ? L"" : L":" + data));
    }
    return events;
}

std::wstring Status(const std::wstring& key)
{
    CQelPersistenceData store;
    std::wstring value = L"<absent>";
    static_cast<IPersistenceCommonBuild&>(store).GetEntParameter(key, value);
    return value;
}

// The calls into the suite's library, by name.
std::vector<std::string> SuiteCalls()
{
    std::vector<std::string> calls;
    for (const auto& line : testbed::KrsIntegrateCalls()) calls.push_back(line.substr(0, line.find(' ')));
    return calls;
}

const std::vector<std::string> kFullRun{"load", "IsAutodownloadMaxAttemptOver", "RunKrsAutoDownload",
                                        "IsKrsAutoDownloadCompleted", "unload"};

class AutoDownloadScenarioTest : public InstalledMachineTest {
protected:
    void Run(const std::wstring& arguments = L"/context=4")
    {
        const auto result = testmachine::RunProgram(program, arguments);
        EXPECT_TRUE(result.finished && result.exitCode == 0) << result.exitCode;
        lines = ReadProgramLog();
    }
    bool Logged(const std::wstring& text) const { return FindLogText(lines, text) >= 0; }
    // The level of the first line with this text; "<absent>" when none.
    std::wstring LevelOf(const std::wstring& text) const
    {
        const int at = FindLogText(lines, text);
        return at < 0 ? L"<absent>" : lines[static_cast<size_t>(at)].level;
    }
    static bool TaskRegistered() { return testmachine::KeyExists(kTaskKey); }

    std::vector<LogFileLine> lines;
};

TEST_F(AutoDownloadScenarioTest, SuiteReportsCompletion)
{
    CQelPersistenceData store;
    static_cast<IPersistenceCommonBuild&>(store).SetEntParameter(L"autodownloadcount", L"4");
    sandbox::SetSuiteAnswers(1, 0);
    Run(L"/CONTEXT=4");
    EXPECT_TRUE(Logged(L"Processing the job:/CONTEXT=4")) << "the command line as the program received it";
    EXPECT_EQ(Events(), (Texts{L"Started", L"Complete", L"Success"}));
    EXPECT_EQ(Status(L"AutoDownloadComplete"), L"1");
    EXPECT_EQ(Status(L"autodownloadcount"), L"5");
    EXPECT_FALSE(TaskRegistered());
    EXPECT_EQ(SuiteCalls(), kFullRun);
    const std::wstring order[] = {
        L"CQELAutoDownload::isInitialLaunchWaitElapsed - Initial launch wait time elapsed.",
        L"CQELAutoDownload::IsAutoDownloadCompleted - AutoDownloadCompleted status is 1.",
        L"CQELAutoDownload::InitiateAutoDownload - IsAutoDownloadCompleted status : 1",
        L"Autodownload attempt count is:5",
        L"CQELAutoDownload::DeleteAutoDownloadTask : AutoDownload task has been removed from QEL Scheduler "
        L"Service.\n",
    };
    int at = 0;
    for (const auto& text : order) {
        at = FindLogText(lines, text, static_cast<size_t>(at));
        ASSERT_GE(at, 0) << "missing or out of order: " << testing::PrintToString(text);
    }
    const LogFileLine& last = lines[static_cast<size_t>(at)];
    EXPECT_EQ(last.level + L" " + last.function, L"Normal CQELAutoDownload::DeleteAutoDownloadTask");
}

// (A missing suite library reads as "not completed": the integration library's tests show that answer.)
TEST_F(AutoDownloadScenarioTest, SuiteReportsNotCompleted)
{
    Run();
    EXPECT_EQ(Events(), (Texts{L"Started", L"Complete", L"Failure"}));
    EXPECT_EQ(Status(L"autodownloadcount"), L"1");
    EXPECT_EQ(Status(L"AutoDownloadComplete"), L"<absent>");
    EXPECT_TRUE(TaskRegistered()) << "the scheduler runs the job again after its interval";
    EXPECT_EQ(LevelOf(L"CQELAutoDownload::OnAutoDownloadFailure - Autodownload failed!\n"), L"Error");
}

TEST_F(AutoDownloadScenarioTest, SuiteAttemptLimitEndsTheTask)
{
    sandbox::SetSuiteAnswers(0, 1);
    Run();
    EXPECT_EQ(Events(), Texts{L"Failure:MaxAutoDownloadAttemptReached"});
    EXPECT_FALSE(TaskRegistered());
    EXPECT_EQ(SuiteCalls(), (std::vector<std::string>{"load", "IsAutodownloadMaxAttemptOver", "unload"}))
        << "nothing else is asked of the suite";
    EXPECT_TRUE(Logged(L"Autodownload max attempt reached, no more retry!"));
    EXPECT_TRUE(Logged(L"pre-autodownload check failure, cannot do autodownload."));
    EXPECT_EQ(Status(L"autodownloadcount"), L"<absent>");
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
    options.registerAutoDownloadTask = false;
    Provision(options);
    Run();
    EXPECT_EQ(LevelOf(L"CQELAutoDownload::RegisterScheduleAutoDownloadTask : Adding Auto Download task failed with "
                      L"error code = 87"),
              L"Error");
    EXPECT_FALSE(TaskRegistered());
}

TEST_F(AutoDownloadScenarioTest, UnwritableStoreKeepsTheTask)
{
    sandbox::SetSuiteAnswers(1, 0);
    // Another program holds the store file without sharing it: nothing can be written.
    ScopedHandle holder(::CreateFileW(datastorekit::StoreFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    ASSERT_TRUE(holder);
    Run();
    EXPECT_TRUE(Logged(L"CQELAutoDownload::OnSuccessfulAutoDownload() - Error writing AutoDownloadCompleted status to "
                       L"data storage.\n"));
    EXPECT_TRUE(TaskRegistered()) << "a later run tries again";
    holder.Reset();
    EXPECT_EQ(Status(L"AutoDownloadComplete"), L"<absent>");
}

TEST_F(AutoDownloadScenarioTest, SchedulerServiceRunsTheTaskAndSeesItGo)
{
    const std::wstring journal = testmachine::ProgramDataFolder() + L"\\Tarsen\\Testbed\\scheduler.journal";
    ::DeleteFileW(journal.c_str());
    sandbox::SetSuiteAnswers(1, 0);
    ASSERT_EQ(testmachine::RunProgram(testmachine::BinDir() + L"\\schedsvc.exe", L"--run-due-now").exitCode, 0u);
    const auto bytes = testmachine::ReadBytes(journal);
    const std::string text(bytes.begin(), bytes.end());
    for (const char* entry : {"run AutoDownload: \"C:\\Program Files\\Tarsen\\QEL\\QELCommonBuild.exe\" /context=4",
                              "exit AutoDownload: 0", "notified by AutoDownload", "no tasks"}) {
        EXPECT_NE(text.find(entry), std::string::npos) << entry << " in:\n" << text;
    }
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
