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

    // Runs the installed program, which must end with 0, and reads its log.
    // What it started without waiting for is waited for too: the installer,
    // and the suite's post-install side (under the updater's file name), which
    // holds its signal until a job has taken it.
    void Run(const std::wstring& arguments)
    {
        const auto result = testmachine::RunProgram(installDir + L"\\QELCommonBuild.exe", arguments);
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

    std::wstring installDir;
    std::vector<LogFileLine> lines;
};
