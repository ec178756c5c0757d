// A scenario test on the demo's default installation (InstalledMachineTest)
// that runs the installed program as the scheduler would and reads what a
// job's run leaves for a user to see: its log, telemetry events, calls into
// the suite, the data store and scheduler records.
#pragma once

#include "common/Platform.h"

#include "datastore/QelPersistenceData.h"
#include "scheduler/QelSchedulerConfig.h"
#include "testbed/StandinSupport.h"
#include "tests/support/Installation.h"
#include "tests/support/LogFile.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class SandboxTest : public InstalledMachineTest {
public:
    using Texts = std::vector<std::wstring>;
    using Calls = std::vector<std::string>;

protected:
    // Runs the installed program (started by the scheduler stand-in with
    // `scheduler`), which must end with 0, and reads its log. What it started
    // without waiting for is waited for too: the installer, and the suite's
    // post-install side (under the updater's file name), which holds its signal
    // until a job has taken it.
    void Run(const std::wstring& arguments, bool scheduler = false)
    {
        const auto result = scheduler ? testmachine::RunProgram(testmachine::BinDir() + L"\\schedsvc.exe",
                                                                L"--run-due-now")
                                      : testmachine::RunProgram(program, arguments);
        EXPECT_TRUE(result.finished && result.exitCode == 0) << result.exitCode;
        EXPECT_TRUE(standin::WaitForProcesses(L"tsinst.exe", 60000));
        EXPECT_TRUE(standin::WaitForProcesses(L"QELUpdater.exe", 60000)) << "a post-install signal nobody took";
        lines = ReadProgramLog();
    }

    bool Logged(const std::wstring& text) const { return FindLogText(lines, text) >= 0; }
    // The level of the first line with this text; "<absent>" when none.
    std::wstring LevelOf(const std::wstring& text) const
    {
        const int at = FindLogText(lines, text);
        return at < 0 ? L"<absent>" : lines[static_cast<size_t>(at)].level;
    }
    // True when the texts appear in this order (others may come between).
    bool LoggedInOrder(const std::vector<std::wstring>& texts) const
    {
        int at = 0;
        for (const auto& text : texts) {
            if ((at = FindLogText(lines, text, static_cast<size_t>(at))) < 0) {
                ADD_FAILURE() << "missing or out of order: " << testing::PrintToString(text);
                return false;
            }
        }
        return true;
    }

    // Each telemetry request as "EventState" or "EventState:EventData"; every one
    // must be a "Silent" "Scheduler" event named `eventName`.
    static Texts Events(const std::wstring& eventName)
    {
        Texts events;
        for (const auto& request : testbed::TelemetryRequests()) {
            EXPECT_EQ(JsonString(request, L"EventName") + JsonString(request, L"EventType") +
                          JsonString(request, L"EventSource"),
                      eventName + L"SilentScheduler");
            const std::wstring data = JsonString(request, L"EventData");
            events.push_back(JsonString(request, L"EventState") + (data.empty() ? L"" : L":" + data));
        }
        return events;
    }
    // The data store's status values and packages, through the product's facade.
    static IPersistenceCommonBuild& Store()
    {
        static CQelPersistenceData store;  // keeps nothing between calls
        return store;
    }
    // A status value of the data store; "<absent>" when not stored.
    static std::wstring Status(const std::wstring& key)
    {
        std::wstring value = L"<absent>";
        Store().GetEntParameter(key, value);
        return value;
    }
    // The calls into the suite's library, by name ("load", "RunKrsAutoDownload", ...).
    static Calls SuiteCalls()
    {
        Calls calls;
        for (const auto& line : testbed::KrsIntegrateCalls()) calls.push_back(line.substr(0, line.find(' ')));
        return calls;
    }
    // The task as the scheduler service reads it from the registry, every field "|"-separated in the order of
    // the registry's values; "<none>" when it is not there.
    static std::wstring RegisteredTask(const std::wstring& name)
    {
        SchedulerTaskRecord r;
        if (CQelScheduleTaskConfig(name).ReadRecord(r) != ERROR_SUCCESS) return L"<none>";
        return r.Name + L"|" + r.Description + L"|" + r.Path + L"|" + r.Param + L"|" + std::to_wstring(r.Type) + L"|" +
               std::to_wstring(r.LaunchMode) + L"|" + std::to_wstring(r.IntervalInSec) + L"|" +
               std::to_wstring(r.RebootWaitCount) + L"|" + std::to_wstring(r.Settings) + L"|" +
               std::to_wstring(r.EnvWaitIntervalInSec) + L"|" + std::to_wstring(r.WaitForComplete);
    }

    std::vector<LogFileLine> lines;

private:
    // A string member of the request's "event_data" object.
    static std::wstring JsonString(const std::wstring& request, const std::wstring& name)
    {
        const std::wstring marker = L"\"" + name + L"\":\"";
        const size_t data = request.find(L"\"event_data\":");
        const size_t at = data == std::wstring::npos ? data : request.find(marker, data);
        if (at == std::wstring::npos) return L"<absent>";
        const size_t begin = at + marker.size();
        return request.substr(begin, request.find(L'"', begin) - begin);
    }
};
