// A scenario test on the demo's default installation (testbed/Sandbox.h):
// every test starts from a fresh one, with file logging that writes every
// piece of a line, and runs the installed program as the scheduler would.
#pragma once

#include "common/Platform.h"

#include "testbed/Sandbox.h"
#include "testbed/StandinSupport.h"
#include "tests/support/DataStoreKit.h"
#include "tests/support/LogFile.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

class SandboxTest : public testing::Test {
protected:
    void SetUp() override { Provision(sandbox::Options{}); }
    void TearDown() override
    {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
        testmachine::RemoveTree(testmachine::ProgramDataFolder() + L"\\Tarsen");
    }

    // Whatever an earlier installation left goes first (journals included); the log starts empty.
    virtual void Provision(sandbox::Options options)
    {
        TearDown();
        datastorekit::Provision();
        options.programsFrom = testmachine::BinDir();
        options.logOptions = 0x3C;
        ASSERT_EQ(sandbox::ProvisionDefaultInstallation(options), L"");
        testmachine::RemoveTree(testmachine::LogFolder() + L"\\QELCommonBuild000.log");
        installDir = options.installDir;
    }

    // Runs the installed program, which must end with 0, and reads its log. The
    // installer it may have started without waiting for it is waited for too.
    void Run(const std::wstring& arguments)
    {
        const auto result = testmachine::RunProgram(installDir + L"\\QELCommonBuild.exe", arguments);
        EXPECT_TRUE(result.finished && result.exitCode == 0) << result.exitCode;
        EXPECT_TRUE(standin::WaitForProcesses(L"tsinst.exe", 60000));
        lines = ReadProgramLog();
    }

    std::wstring installDir;
    std::vector<LogFileLine> lines;
};
