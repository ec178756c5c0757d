// What a job's run leaves for a user to see, beyond its log (SandboxTest):
// telemetry events, calls into the suite, the data store, scheduler records.
#pragma once

#include "common/Platform.h"

#include "datastore/QelPersistenceData.h"
#include "scheduler/QelSchedulerConfig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace jobscenario {

using Texts = std::vector<std::wstring>;

// Each telemetry request as "EventState" or "EventState:EventData"; every one
// must be a "Silent" "Scheduler" event named `eventName`.
Texts Events(const std::wstring& eventName);
// The data store's status values and packages, through the product's facade.
IPersistenceCommonBuild& Store();
// A status value of the data store; "<absent>" when not stored.
std::wstring Status(const std::wstring& key);
// The calls into the suite's library, by name ("load", "RunKrsAutoDownload", ...).
std::vector<std::string> SuiteCalls();
bool TaskRegistered(const std::wstring& name);
// Every field of a task record, "|"-separated in the order of the registry's values.
std::wstring TaskText(const SchedulerTaskRecord& r);
// The task as the scheduler service reads it from the registry; "<none>" when it is not there.
std::wstring RegisteredTask(const std::wstring& name);

}  // namespace jobscenario
