#include "common/Platform.h"

#include "logging/Log.h"
#include "logging/Logging.h"
#include "tests/support/DebugOutput.h"
#include "tests/support/LogFile.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace {

using ETWLogging::CLogging;

const std::wstring kModule = L"unit_logging";

class FileLoggingTest : public testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() { testmachine::RemoveTree(testmachine::ProgramDataFolder() + L"\\Tarsen"); }

    std::wstring Folder() const { return testmachine::LogFolder(kModule); }
    // One [Config] value in the application's log.ini, or the global one.
    void Ini(const wchar_t* key, const wchar_t* value, bool global = false) const
    {
        const std::wstring folder = global ? testmachine::ProgramDataFolder() + L"\\Tarsen\\TSLOGS" : Folder();
        testmachine::CreateFolder(folder);
        ::WritePrivateProfileStringW(L"Config", key, value, (folder + L"\\log.ini").c_str());
    }
    // A logger named after this test program, group "QEL", like the product's.
    std::unique_ptr<CLogging> Make() const
    {
        auto logger = std::make_unique<CLogging>();
        EXPECT_EQ(logger->Initialize(L"QEL", nullptr, nullptr, 0), 0u);
        return logger;
    }
    std::wstring File(int index) const { return Folder() + L"\\" + kModule + L"00" + std::to_wstring(index) + L".log"; }
};

TEST_F(FileLoggingTest, TheFolderTurnsLoggingOnAndTheFirstLineCreatesTheFile)
{
    // Without the folder nothing is written, for the whole run.
    auto lost = Make();
    EXPECT_EQ(lost->LogText(L"f.cpp", L"F", 1, 4, L"lost"), 0u);
    EXPECT_FALSE(lost->IsLevelEnabled(6)) << "no level passes once the check failed";
    testmachine::CreateFolder(Folder());
    lost->LogText(L"f.cpp", L"F", 1, 4, L"still lost");
    EXPECT_FALSE(testmachine::FileExists(File(0))) << "the first-use check is made once";

    auto logger = Make();
    ASSERT_EQ(logger->LogText(L"d:\\src\\QELCommonBuild.cpp", L"CJobFactory::GetJobObject", 7, 4, L"first"), 0u);
    EXPECT_EQ(logger->LogText(L"x.cpp", L"X", 8, 3, L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    bool bom = false;
    const auto lines = ReadLogFile(File(0), 0x10, &bom);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text + L"|" + lines[0].level + L"|" + lines[0].exe, L"first|Error|unit_logging.ex")
        << "no module handle: the process name, cut to 15";
    EXPECT_TRUE(bom);
}

// A log folder that is a link is refused for the run and said once; nothing lands where it points.
TEST_F(FileLoggingTest, ALinkedLogFolderIsRefusedAndSaidOnce)
{
    const std::wstring elsewhere = testmachine::ProgramDataFolder() + L"\\Tarsen\\elsewhere";
    testmachine::CreateFolder(elsewhere);
    testmachine::CreateFolder(Folder().substr(0, Folder().find_last_of(L'\\')));
    testmachine::MakeLink(Folder(), elsewhere);
    DebugOutputCapture debug;
    auto logger = Make();
    logger->LogText(L"f.cpp", L"F", 1, 4, L"one");
    logger->LogText(L"f.cpp", L"F", 2, 4, L"two");
    testmachine::RemoveLink(Folder());
    EXPECT_FALSE(testmachine::FileExists(elsewhere + L"\\" + kModule + L"000.log"));
    ASSERT_EQ(debug.lines.size(), 1u) << testing::PrintToString(debug.lines);
    EXPECT_EQ(debug.lines[0].rfind(L"File logging is off: the log folder " + Folder() + L" leads to ", 0), 0u);
}

TEST_F(FileLoggingTest, RotationWrapsAndReplacesOldContent)
{
    testmachine::CreateFolder(Folder());
    auto logger = Make();
    ASSERT_EQ(std::make_pair(logger->GetMaxSize(), logger->GetMaxEntries()), std::make_pair(DWORD{262144}, DWORD{3}));
    const std::wstring big(4000, L'r');  // about 8 KiB a line
    auto fill = [&](const wchar_t* tag) {
        // Writes until the current file has been left for the next one.
        for (int i = 0; i < 40; ++i) logger->LogText(L"f", L"F", 1, 3, (tag + big).c_str());
    };
    const auto lastIndex = [&] {
        return ::GetPrivateProfileIntW(L"Config", L"LastLogIdx", 9, (Folder() + L"\\log.ini").c_str());
    };
    fill(L"A");
    EXPECT_TRUE(testmachine::FileExists(File(1)));
    EXPECT_EQ(lastIndex(), 1u);
    fill(L"B");
    fill(L"C");
    EXPECT_EQ(lastIndex(), 0u) << "after index 2 comes index 0";
    const auto wrapped = ReadLogFile(File(0), 0x10);
    ASSERT_FALSE(wrapped.empty());
    for (const auto& line : wrapped) EXPECT_NE(line.text[0], L'A') << "old content replaced";
    EXPECT_LT(testmachine::ReadBytes(File(1)).size(), 262144u + 9000);
}

TEST_F(FileLoggingTest, IniValuesValidatedPerApplicationThenGlobal)
{
    const struct {
        const char* name;
        const wchar_t *key, *app, *global;  // app, global nullptr: not set
        DWORD (CLogging::*get)() const;
        DWORD expected;
    } cases[] = {
        {"MaxEntries 1 is ignored", L"MaxEntries", L"1", nullptr, &CLogging::GetMaxEntries, 3},
        {"MaxEntries 101 is ignored, global taken", L"MaxEntries", L"101", L"4", &CLogging::GetMaxEntries, 4},
        {"MaxEntries 2 taken", L"MaxEntries", L"2", nullptr, &CLogging::GetMaxEntries, 2},
        {"MaxEntries 100 taken", L"MaxEntries", L"100", nullptr, &CLogging::GetMaxEntries, 100},
        {"MaxSize below 0x40000 ignored", L"MaxSize", L"0x3FFFF", L"0x50000", &CLogging::GetMaxSize, 0x50000},
        {"MaxSize hex upper bound", L"MaxSize", L"0xA00000", nullptr, &CLogging::GetMaxSize, 0xA00000},
        {"MaxSize above bound", L"MaxSize", nullptr, L"10485761", &CLogging::GetMaxSize, 262144},
        {"app Severity 2 beats global 4", L"Severity", L"2", L"4", &CLogging::GetSeverity, 2},
        {"Severity 7 is ignored", L"Severity", L"7", nullptr, &CLogging::GetSeverity, 3},
        {"text is not a number", L"Severity", L"high", nullptr, &CLogging::GetSeverity, 3},
    };
    for (const auto& c : cases) {
        Clean();
        if (c.app) Ini(c.key, c.app);
        if (c.global) Ini(c.key, c.global, true);
        EXPECT_EQ(((*Make()).*c.get)(), c.expected) << c.name;
    }
    // The levels that pass: the threshold (0 lets all pass), or none when switched off.
    const std::tuple<const wchar_t*, const wchar_t*, DWORD> thresholds[] = {
        {nullptr, nullptr, 3}, {L"Severity", L"0", 0}, {L"Severity", L"6", 6}, {L"Enable", L"0", 7}};
    for (const auto& [key, value, firstPassing] : thresholds) {
        Clean();
        if (key) Ini(key, value);
        auto logger = Make();
        for (DWORD level = 0; level <= 6; ++level) {
            EXPECT_EQ(logger->IsLevelEnabled(level) != FALSE, level >= firstPassing) << "level " << level;
        }
    }
}

}  // namespace
