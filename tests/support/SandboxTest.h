// A scenario test on the demo's default installation (InstalledMachineTest)
// that runs the installed program as the scheduler would and reads its log.
#pragma once

#include "common/Platform.h"

#include "testbed/StandinSupport.h"
#include "tests/support/Installation.h"
#include "tests/support/LogFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class SandboxTest : public InstalledMachineTest {
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

    std::vector<LogFileLine> lines;
};
