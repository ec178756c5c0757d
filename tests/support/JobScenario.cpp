#include "common/Platform.h"

#include "tests/support/JobScenario.h"

#include "testbed/StandinSupport.h"
#include "tests/support/DataStoreKit.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

namespace jobscenario {
namespace {

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

}  // namespace

Texts Events(const std::wstring& eventName)
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

IPersistenceCommonBuild& Store()
{
    static CQelPersistenceData store;  // keeps nothing between calls
    return store;
}

std::wstring Status(const std::wstring& key)
{
    std::wstring value = L"<absent>";
    Store().GetEntParameter(key, value);
    return value;
}

std::vector<std::string> SuiteCalls()
{
    std::vector<std::string> calls;
    for (const auto& line : testbed::KrsIntegrateCalls()) calls.push_back(line.substr(0, line.find(' ')));
    return calls;
}

bool TaskRegistered(const std::wstring& name)
{
    return testmachine::KeyExists(L"SOFTWARE\\Tarsen\\QEL\\SCHEDULER\\" + name);
}

void JobScenarioTest::TearDown()
{
    testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
    testmachine::RemoveTree(testmachine::ProgramDataFolder() + L"\\Tarsen");
}

void JobScenarioTest::Provision(sandbox::Options options)
{
    TearDown();
    datastorekit::Provision();
    options.programsFrom = testmachine::BinDir();
    options.logOptions = 0x3C;
    ASSERT_EQ(sandbox::ProvisionDefaultInstallation(options), L"");
    testmachine::RemoveTree(testmachine::LogFolder() + L"\\QELCommonBuild000.log");
    installDir = options.installDir;
    program = options.installDir + L"\\QELCommonBuild.exe";
}

void JobScenarioTest::Run(const std::wstring& arguments)
{
    const auto result = testmachine::RunProgram(program, arguments);
    EXPECT_TRUE(result.finished && result.exitCode == 0) << result.exitCode;
    // What the job started and did not wait for: the installer, and the
    // suite's post-install side (the updater's file), which holds its signal
    // until a job has taken it.
    EXPECT_TRUE(standin::WaitForProcesses(L"tsinst.exe", 60000));
    EXPECT_TRUE(standin::WaitForProcesses(L"QELUpdater.exe", 60000)) << "a post-install signal nobody took";
    lines = ReadProgramLog();
}

std::wstring JobScenarioTest::LevelOf(const std::wstring& text) const
{
    const int at = FindLogText(lines, text);
    return at < 0 ? L"<absent>" : lines[static_cast<size_t>(at)].level;
}

bool JobScenarioTest::LoggedInOrder(const Texts& texts) const
{
    int at = 0;
    for (const auto& text : texts) {
        at = FindLogText(lines, text, static_cast<size_t>(at));
        if (at < 0) {
            ADD_FAILURE() << "missing or out of order: " << testing::PrintToString(text);
            return false;
        }
    }
    return true;
}

}  // namespace jobscenario
