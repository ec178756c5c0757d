// Context 4 through the real program on a provisioned machine (the demo's
// default installation): what a user can observe of each run — exit code,
// log lines, telemetry requests, calls into the suite, the data store and the
// scheduler records.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "testbed/Sandbox.h"
#include "tests/support/DataStoreKit.h"
#include "tests/support/LogFile.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

const std::wstring kTaskKey = L"SOFTWARE\\Tarsen\\QEL\\SCHEDULER\\AutoDownload";
const std::wstring kPartner = L"SOFTWARE\\Tarsen\\QEL\\PARTNER\\1234";

struct Event {
    std::wstring state;
    std::wstring data;
};

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

std::vector<Event> Events()
{
    std::vector<Event> events;
    for (const auto& request : testbed::TelemetryRequests()) {
        EXPECT_EQ(JsonString(request, L"EventName"), L"AutoDownload");
        EXPECT_EQ(JsonString(request, L"EventType"), L"Silent");
        EXPECT_EQ(JsonString(request, L"EventSource"), L"Scheduler");
        events.push_back({JsonString(request, L"EventState"), JsonString(request, L"EventData")});
    }
    return events;
}

std::vector<std::wstring> States()
{
    std::vector<std::wstring> states;
    for (const auto& e : Events()) states.push_back(e.state);
    return states;
}

std::wstring Status(const std::wstring& key)
{
    CQelPersistenceData store;
    std::wstring value = L"<absent>";
    static_cast<IPersistenceCommonBuild&>(store).GetEntParameter(key, value);
    return value;
}

std::vector<std::string> SuiteCalls()
{
    std::vector<std::string> calls;
    for (const auto& line : testbed::KrsIntegrateCalls()) calls.push_back(line.substr(0, line.find(' ')));
    return calls;
}

class AutoDownloadScenarioTest : public testing::Test {
protected:
    void SetUp() override
    {
        Provision(sandbox::Options{});
    }
    void TearDown() override
    {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
        testmachine::RemoveTree(testmachine::ProgramDataFolder() + L"\\Tarsen");
    }

    void Provision(sandbox::Options options)
    {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
        testmachine::RemoveTree(testmachine::ProgramDataFolder() + L"\\Tarsen");
        datastorekit::Provision();
        options.programsFrom = testmachine::BinDir();
        options.logOptions = 0x3C;
        ASSERT_EQ(sandbox::ProvisionDefaultInstallation(options), L"");
        testbed::ClearTelemetryJournal();
        testbed::ClearKrsIntegrateJournal();
        testmachine::RemoveTree(testmachine::LogFolder() + L"\\QELCommonBuild000.log");
        program = options.installDir + L"\\QELCommonBuild.exe";
    }

    std::vector<LogFileLine> Run(const std::wstring& arguments = L"/context=4")
    {
        const auto result = testmachine::RunProgram(program, arguments);
        EXPECT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, 0u);
        lines = ReadProgramLog();
        return lines;
    }
    bool Logged(const std::wstring& text) const { return FindLogText(lines, text) >= 0; }
    bool TaskRegistered() const { return testmachine::KeyExists(kTaskKey); }

    std::wstring program;
    std::vector<LogFileLine> lines;
};

TEST_F(AutoDownloadScenarioTest, SuiteReportsCompletion)
{
    CQelPersistenceData store;
    static_cast<IPersistenceCommonBuild&>(store).SetEntParameter(L"autodownloadcount", L"4");
    sandbox::SetSuiteAnswers(1, 0);
    Run(L"/CONTEXT=4");
    EXPECT_TRUE(Logged(L"Processing the job:/CONTEXT=4")) << "the command line as the program received it";
    EXPECT_EQ(States(), (std::vector<std::wstring>{L"Started", L"Complete", L"Success"}));
    EXPECT_EQ(Status(L"AutoDownloadComplete"), L"1");
    EXPECT_EQ(Status(L"autodownloadcount"), L"5");
    EXPECT_FALSE(TaskRegistered());
    EXPECT_EQ(SuiteCalls(), (std::vector<std::string>{"load", "IsAutodownloadMaxAttemptOver", "RunKrsAutoDownload",
                                                      "IsKrsAutoDownloadCompleted", "unload"}));
    const std::wstring order[] = {
        L"CQELAutoDownload::isInitialLaunchWaitElapsed - Initial launch wait time elapsed.",
        L"CQELAutoDownload::IsAutoDownloadCompleted - AutoDownloadCompleted status is 1.",
        L"CQELAutoDownload::InitiateAutoDownload - IsAutoDownloadCompleted status : 1",
        L"Autodownload attempt count is:5",
        L"Deleted task from reg.",
        L"CQELAutoDownload::DeleteAutoDownloadTask : AutoDownload task has been removed from QEL Scheduler "
        L"Service.\n",
    };
    int at = 0;
    for (const auto& text : order) {
        at = FindLogText(lines, text, static_cast<size_t>(at));
        ASSERT_GE(at, 0) << "missing or out of order: " << testing::PrintToString(text);
    }
    EXPECT_EQ(lines[static_cast<size_t>(at)].level, L"Normal");
    EXPECT_EQ(lines[static_cast<size_t>(at)].function, L"CQELAutoDownload::DeleteAutoDownloadTask");
}

TEST_F(AutoDownloadScenarioTest, SuiteReportsNotCompleted)
{
    Run();
    const auto events = Events();
    ASSERT_EQ(States(), (std::vector<std::wstring>{L"Started", L"Complete", L"Failure"}));
    EXPECT_EQ(events[2].data, L"");
    EXPECT_EQ(Status(L"autodownloadcount"), L"1");
    EXPECT_EQ(Status(L"AutoDownloadComplete"), L"<absent>");
    EXPECT_TRUE(TaskRegistered()) << "the scheduler runs the job again after its interval";
    const int failed = FindLogText(lines, L"CQELAutoDownload::OnAutoDownloadFailure - Autodownload failed!\n");
    ASSERT_GE(failed, 0);
    EXPECT_EQ(lines[static_cast<size_t>(failed)].level, L"Error");
}

TEST_F(AutoDownloadScenarioTest, SuiteAttemptLimitEndsTheTask)
{
    sandbox::SetSuiteAnswers(0, 1);
    Run();
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].state, L"Failure");
    EXPECT_EQ(events[0].data, L"MaxAutoDownloadAttemptReached");
    EXPECT_FALSE(TaskRegistered());
    EXPECT_EQ(SuiteCalls(), (std::vector<std::string>{"load", "IsAutodownloadMaxAttemptOver", "unload"}))
        << "nothing else is asked of the suite";
    EXPECT_TRUE(Logged(L"Autodownload max attempt reached, no more retry!"));
    EXPECT_TRUE(Logged(L"pre-autodownload check failure, cannot do autodownload."));
    EXPECT_EQ(Status(L"autodownloadcount"), L"<absent>");
}

TEST_F(AutoDownloadScenarioTest, InitialWaitAfterTheFirstRun)
{
    const std::wstring hour = std::to_wstring(static_cast<long long>(std::time(nullptr)) - 3600);
    const std::wstring threeHours = std::to_wstring(static_cast<long long>(std::time(nullptr)) - 3 * 3600);
    const struct {
        const wchar_t* completedTime;  // nullptr: not recorded
        const wchar_t* wait;           // "FirstAutoDownloadCheckWait"
        bool elapsed;
    } cases[] = {
        {nullptr, L"7200", true},
        {L"", L"7200", true},
        {L"0", L"7200", true},
        {L"abc", L"7200", true},  // not a number: counted from 1970
        {hour.c_str(), L"7200", false},
        {hour.c_str(), L"0", true},
        {threeHours.c_str(), L"7200", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.completedTime ? c.completedTime : L"<none>")) + " wait " +
                     testing::PrintToString(std::wstring(c.wait)));
        sandbox::Options options;
        options.completedSecondsAgo = -1;
        Provision(options);
        if (c.completedTime) {
            CQelPersistenceData store;
            static_cast<IPersistenceOobeEula&>(store).SetOobeParameter(L"completedtime", c.completedTime);
        }
        testmachine::SetString(kPartner, L"FirstAutoDownloadCheckWait", c.wait);
        Run();
        const auto events = Events();
        ASSERT_FALSE(events.empty());
        if (c.elapsed) {
            EXPECT_EQ(events[0].state, L"Started");
            EXPECT_EQ(SuiteCalls().size(), 5u);
            continue;
        }
        EXPECT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].state, L"Aborted");
        EXPECT_EQ(events[0].data, L"InitialLaunchTime not elapsed");
        EXPECT_TRUE(SuiteCalls().empty()) << "the suite is not asked before the wait is over";
        EXPECT_TRUE(Logged(L"First auto download check wait time is not lapsed, updating the task scheduler to "
                           L"launch after initial wait time"));
        EXPECT_TRUE(Logged(L"CQELAutoDownload::RegisterScheduleAutoDownloadTask - autodownload task is added "
                           L"successfully with QEL scheduler service"));
        EXPECT_TRUE(TaskRegistered());
        EXPECT_EQ(Status(L"autodownloadcount"), L"<absent>");
    }
}

TEST_F(AutoDownloadScenarioTest, RegistrationWithTooShortAFrequencyIsRefused)
{
    const long long oneHourAgo = static_cast<long long>(std::time(nullptr)) - 3600;
    CQelPersistenceData store;
    static_cast<IPersistenceOobeEula&>(store).SetOobeParameter(L"completedtime", std::to_wstring(oneHourAgo));
    testmachine::SetString(kPartner, L"FirstAutoDownloadCheckWait", L"7200");
    testmachine::SetString(kPartner, L"AutoDownloadCheckFrequency", L"299");
    testmachine::DeleteTree(kTaskKey);
    Run();
    const int refused = FindLogText(lines, L"CQELAutoDownload::RegisterScheduleAutoDownloadTask : Adding Auto "
                                           L"Download task failed with error code = 87");
    ASSERT_GE(refused, 0);
    EXPECT_EQ(lines[static_cast<size_t>(refused)].level, L"Error");
    EXPECT_FALSE(TaskRegistered());
}

TEST_F(AutoDownloadScenarioTest, MissingSuiteLibraryEndsInTheFailurePath)
{
    ASSERT_TRUE(::DeleteFileW((sandbox::Options{}.installDir + L"\\QELKrsIntegrate.dll").c_str()));
    Run();
    EXPECT_TRUE(Logged(L"Failed to load KrsIntegration DLL. Error code = 126"));
    EXPECT_EQ(States(), (std::vector<std::wstring>{L"Started", L"Complete", L"Failure"}));
    EXPECT_TRUE(Logged(L"CQELAutoDownload::IsAutoDownloadCompleted - AutoDownloadCompleted status is 0."));
    EXPECT_TRUE(TaskRegistered());
    EXPECT_EQ(Status(L"autodownloadcount"), L"1");
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
    const auto result = testmachine::RunProgram(testmachine::BinDir() + L"\\schedsvc.exe", L"--run-due-now");
    ASSERT_EQ(result.exitCode, 0u);
    const std::vector<BYTE> bytes = testmachine::ReadBytes(journal);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("run AutoDownload: \"C:\\Program Files\\Tarsen\\QEL\\QELCommonBuild.exe\" /context=4"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("exit AutoDownload: 0"), std::string::npos);
    EXPECT_NE(text.find("notified by AutoDownload"), std::string::npos) << "the deletion was announced";
    EXPECT_NE(text.find("no tasks"), std::string::npos) << "and the task is gone afterwards";
    EXPECT_FALSE(TaskRegistered());
}

TEST_F(AutoDownloadScenarioTest, WithoutAccessToTheSchedulerKeyTheServiceIsAskedToRemoveTheTask)
{
    sandbox::Options options;
    options.administrative = false;
    Provision(options);
    CQelPersistenceData store;
    StringMap task;
    ASSERT_EQ(static_cast<IPersistenceScheduleTask&>(store).GetScheduleTask(L"AutoDownload", task), 0u)
        << "registered in the data store";
    EXPECT_EQ(task[L"Type"], L"3");
    sandbox::SetSuiteAnswers(1, 0);
    Run();
    ASSERT_EQ(static_cast<IPersistenceScheduleTask&>(store).GetScheduleTask(L"AutoDownload", task), 0u);
    EXPECT_EQ(task[L"Type"], L"1") << "a removal request for the scheduler service";
    EXPECT_TRUE(Logged(L"Error opening key 2"));
    EXPECT_TRUE(Logged(L"Added task to shared location."));
    EXPECT_EQ(Status(L"AutoDownloadComplete"), L"1");

    // The service honours the request: the task is gone from both places.
    testmachine::RunProgram(testmachine::BinDir() + L"\\schedsvc.exe", L"--run-due-now");
    StringList names;
    static_cast<IPersistenceScheduleTask&>(store).GetScheduleTaskNames(names);
    EXPECT_TRUE(names.empty());
}

}  // namespace
