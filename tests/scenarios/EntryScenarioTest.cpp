// The real program on a provisioned machine: start-up, the single-instance
// guard and command lines that select no job, observed through its log file.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "tests/support/LogFile.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

namespace {

class EntryScenarioTest : public testing::Test {
protected:
    void SetUp() override
    {
        testmachine::RemoveTree(testmachine::LogFolder());
        testmachine::EnableFileLogging();
        program = testmachine::InstallProgram();
    }

    // Runs the program on a fresh log file; what it logged.
    std::vector<LogFileLine> Run(const std::wstring& arguments)
    {
        testmachine::RemoveTree(testmachine::LogFolder() + L"\\QELCommonBuild000.log");
        const auto result = testmachine::RunProgram(program, arguments);
        EXPECT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, 0u);
        return ReadProgramLog();
    }

    std::wstring program;
};

TEST_F(EntryScenarioTest, CommandLinesWithoutAJobExitWithZero)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {{L"/CONTEXT=7   ", L"/context=7"}, {L"", L""}};
    for (const auto& [arguments, shown] : cases) {
        auto lines = Run(arguments);
        // This build trusts the test PKI, and its first line says so.
        ASSERT_EQ(lines.size(), 4u) << testing::PrintToString(LogTexts(lines));
        EXPECT_EQ(lines[0].level + L"|" + lines[0].text, L"Information|built for the test PKI: not for release");
        lines.erase(lines.begin());
        EXPECT_EQ(lines[0].text, L"Starting Qel commonbuild application..");
        EXPECT_EQ(lines[0].level + L"|" + lines[0].source + L"|" + lines[0].function,
                  L"Information|QELCommonBuild.cpp|wWinMain");
        EXPECT_EQ(lines[1].text, L"Invalid context id.");
        EXPECT_EQ(lines[1].level + L"|" + lines[1].function, L"Error|CJobFactory::GetJobObject");
        EXPECT_EQ(lines[2].text,
                  std::wstring(L"Bad command line, there are no jobs which matches the commadnline. cmd:") + shown);
        EXPECT_EQ(lines[2].level, L"Error");

        // The program's own options: no executable-name piece for a module logger, the ids, the source line.
        EXPECT_EQ(lines[0].exe + L"|" + lines[0].process.substr(0, 4), L"|PID:");
        EXPECT_GT(lines[0].line, 0);
        EXPECT_EQ(lines[0].time.size(), 22u) << "mm/dd/yyyy hh:mm:ss AM|PM, filled in by the writer";
    }
}

TEST_F(EntryScenarioTest, SecondCopyIsRefusedWhileTheFirstHoldsTheMutex)
{
    // This process plays the first copy: it holds the machine-wide mutex.
    ScopedHandle first(::CreateMutexW(nullptr, TRUE, L"Global\\ADB8284BBD38451A8791A40DED795CF6"));
    ASSERT_TRUE(first);
    const auto lines = Run(L"/context=4");
    ASSERT_EQ(lines.size(), 3u) << testing::PrintToString(LogTexts(lines));
    EXPECT_EQ(lines[2].text, L"Another instance of QELCommonBuild is already runnning.");
    EXPECT_EQ(lines[2].level, L"Information");

    ::ReleaseMutex(first.Get());
    first.Reset();
    EXPECT_NE(FindLogText(Run(L"/context=7"), L"Invalid context id."), -1) << "runs normally once the mutex is free";
}

}  // namespace
