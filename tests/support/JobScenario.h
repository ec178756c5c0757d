// A job through the real program on the demo's default installation: what a
// user can observe of each run (exit code, log lines, telemetry events, calls
// into the suite, the data store and the scheduler records).
#pragma once

#include "common/Platform.h"

#include "datastore/QelPersistenceData.h"
#include "testbed/Sandbox.h"
#include "tests/support/LogFile.h"

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

class JobScenarioTest : public testing::Test {
protected:
    void SetUp() override { Provision(sandbox::Options{}); }
    void TearDown() override;

    // A fresh machine with the default installation as `options` shape it;
    // journals and the log start empty.
    void Provision(sandbox::Options options);
    void Run(const std::wstring& arguments);
    bool Logged(const std::wstring& text) const { return FindLogText(lines, text) >= 0; }
    // The level of the first line with this text; "<absent>" when none.
    std::wstring LevelOf(const std::wstring& text) const;
    // True when the texts appear in this order (others may come between).
    bool LoggedInOrder(const Texts& texts) const;

    std::wstring installDir;
    std::wstring program;
    std::vector<LogFileLine> lines;
};

}  // namespace jobscenario
