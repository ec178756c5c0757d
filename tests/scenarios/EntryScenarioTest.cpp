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
}

// Any user may create the log folder (or a folder above it) when it is
// missing, and names in it: nothing is ever written where such a link points.
// Beside each, the genuine folder, where the program logs.
TEST_F(EntryScenarioTest, PlantedLogNamesAreNeverFollowed)
{
    const std::wstring folder = testmachine::LogFolder();
    const std::wstring above = folder.substr(0, folder.find_last_of(L'\\'));
    wchar_t system[MAX_PATH];
    ASSERT_NE(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring user = L"C:\\users\\Public\\planted";
    const std::wstring victim = user + L"\\victim.txt", victimIni = user + L"\\victim.ini";
    const std::string keep = "keep", keepIni = "[Config]\r\nOptions=60\r\nSeverity=1\r\nLastLogIdx=7\r\n";
    const struct {
        const wchar_t* what;
        std::wstring link, target;
        bool logs;
    } rows[] = {
        {L"the genuine folder", L"", L"", true},
        {L"the folder, a link to the system folder", folder, system, false},
        {L"the folder, a link to a user's folder", folder, user + L"\\QELCommonBuild", false},
        {L"a folder above it, a link to a user's folder", above, user, false},
        {L"the log file, a link to a user's file", folder + L"\\QELCommonBuild000.log", victim, true},
        // An index beyond the rotation makes the program write "LastLogIdx" back.
        {L"log.ini, a link to a user's file", folder + L"\\log.ini", victimIni, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.what)));
        testmachine::CreateFolder(user + L"\\QELCommonBuild");
        testmachine::WriteBytes(victim, keep.data(), keep.size());
        testmachine::WriteBytes(victimIni, keepIni.data(), keepIni.size());
        testmachine::RemoveTree(folder + L"\\QELCommonBuild000.log");
        const bool folderLink = row.link == folder || row.link == above;
        if (folderLink) testmachine::RemoveTree(row.link);
        if (!row.link.empty()) testmachine::MakeLink(row.link, row.target);

        const auto result = testmachine::RunProgram(program, L"/context=7");
        EXPECT_TRUE(result.finished && result.exitCode == 0);
        EXPECT_EQ(FindLogText(ReadProgramLog(), L"Invalid context id.") >= 0, row.logs);
        for (const std::wstring& place : {std::wstring(system), user, user + L"\\QELCommonBuild"}) {
            EXPECT_FALSE(testmachine::FileExists(place + L"\\QELCommonBuild000.log")) << testing::PrintToString(place);
            EXPECT_FALSE(testmachine::FileExists(place + L"\\log.ini")) << testing::PrintToString(place);
        }
        EXPECT_EQ(testmachine::ReadBytes(victim), std::vector<BYTE>(keep.begin(), keep.end()));
        EXPECT_EQ(testmachine::ReadBytes(victimIni), std::vector<BYTE>(keepIni.begin(), keepIni.end()));
        if (folderLink) testmachine::RemoveLink(row.link), testmachine::EnableFileLogging();
    }
}

}  // namespace
