#include "common/Platform.h"

#include "tests/support/JobScenario.h"

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

std::wstring TaskText(const SchedulerTaskRecord& r)
{
    return r.Name + L"|" + r.Description + L"|" + r.Path + L"|" + r.Param + L"|" + std::to_wstring(r.Type) + L"|" +
           std::to_wstring(r.LaunchMode) + L"|" + std::to_wstring(r.IntervalInSec) + L"|" +
           std::to_wstring(r.RebootWaitCount) + L"|" + std::to_wstring(r.Settings) + L"|" +
           std::to_wstring(r.EnvWaitIntervalInSec) + L"|" + std::to_wstring(r.WaitForComplete);
}

std::wstring RegisteredTask(const std::wstring& name)
{
    SchedulerTaskRecord r;
    return CQelScheduleTaskConfig(name).ReadRecord(r) == ERROR_SUCCESS ? TaskText(r) : L"<none>";
}

}  // namespace jobscenario
