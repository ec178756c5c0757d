// Tests on a provisioned machine with the demo's default installation
// (testbed/Sandbox.h): the programs from the build, every piece of each log
// line, the stand-ins' journals and the program's log starting empty.
#pragma once

#include "common/Platform.h"

#include "testbed/Sandbox.h"
#include "tests/support/DataStoreKit.h"
#include "tests/support/LogFile.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

#include <string>

class InstalledMachineTest : public testing::Test {
protected:
    void SetUp() override { Provision(sandbox::Options{}); }
    void TearDown() override
    {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
        testmachine::RemoveTree(testmachine::ProgramDataFolder() + L"\\Tarsen");
    }

    // A fresh installation with these options; `program` is its job runner.
    virtual void Provision(sandbox::Options options)
    {
        TearDown();
        datastorekit::Provision();
        options.programsFrom = testmachine::BinDir();
        options.logOptions = 0x3C;
        ASSERT_EQ(sandbox::ProvisionDefaultInstallation(options), L"");
        testbed::ClearTelemetryJournal(), testbed::ClearKrsIntegrateJournal();
        testmachine::RemoveTree(testmachine::LogFolder() + L"\\QELCommonBuild000.log");
        program = options.installDir + L"\\QELCommonBuild.exe";
    }

    std::wstring program;
};
