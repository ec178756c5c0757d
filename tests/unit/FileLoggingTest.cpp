#include "common/Platform.h"

#include "logging/Log.h"
#include "logging/Logging.h"
#include "tests/support/LogFile.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <memory>

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
    UINT LastLogIdx() const
    {
        return ::GetPrivateProfileIntW(L"Config", L"LastLogIdx", 9, (Folder() + L"\\log.ini").c_str());
    }
    // A logger named after this test program, group "QEL", like the product's.
    std::unique_ptr<CLogging> Make(const wchar_t* host = nullptr) const
    {
        auto logger = std::make_unique<CLogging>();
        EXPECT_EQ(logger->Initialize(L"QEL", nullptr, host, 0), 0u);
        return logger;
    }
    std::wstring File(int index) const { return Folder() + L"\\" + kModule + L"00" + std::to_wstring(index) + L".log"; }
};

TEST_F(FileLoggingTest, NothingIsWrittenWithoutTheFolderForTheWholeRun)
{
    auto logger = Make();
    EXPECT_EQ(logger->LogText(L"f.cpp", L"F", 1, 4, L"lost"), 0u);
    EXPECT_FALSE(testmachine::FileExists(Folder()));
    EXPECT_FALSE(logger->IsLevelEnabled(6)) << "no level passes once the check failed";

    testmachine::CreateFolder(Folder());
    logger->LogText(L"f.cpp", L"F", 1, 4, L"still lost");
    EXPECT_FALSE(testmachine::FileExists(File(0))) << "the first-use check is made once";
}

TEST_F(FileLoggingTest, FirstLineCreatesTheFileWithAByteOrderMark)
{
    testmachine::CreateFolder(Folder());
    auto logger = Make();
    ASSERT_EQ(logger->LogText(L"d:\\src\\QELCommonBuild.cpp", L"CJobFactory::GetJobObject", 7, 4, L"first"), 0u);
    EXPECT_EQ(logger->LogText(L"x.cpp", L"X", 8, 3, L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    bool bom = false;
    const auto lines = ReadLogFile(File(0), 0x10, &bom);
    EXPECT_TRUE(bom);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text + L"|" + lines[0].level, L"first|Error");
    EXPECT_EQ(lines[0].exe, L"unit_logging.ex") << "no module handle: the process name, cut to 15";

    Make(L"HOST1")->LogText(L"x.cpp", L"X", 1, 3, L"with host");
    EXPECT_TRUE(testmachine::FileExists(Folder() + L"\\" + kModule + L"_HOST1000.log"));
}

TEST_F(FileLoggingTest, RotationWrapsAndReplacesOldContent)
{
    testmachine::CreateFolder(Folder());
    auto logger = Make();
    ASSERT_EQ(logger->GetMaxSize(), 262144u);
    ASSERT_EQ(logger->GetMaxEntries(), 3u);
    const std::wstring big(4000, L'r');  // about 8 KiB a line
    auto fill = [&](const wchar_t* tag) {
        // Writes until the current file has been left for the next one.
        for (int i = 0; i < 40; ++i) logger->LogText(L"f", L"F", 1, 3, (tag + big).c_str());
    };
    fill(L"A");
    EXPECT_TRUE(testmachine::FileExists(File(1)));
    EXPECT_EQ(LastLogIdx(), 1u);
    fill(L"B");
    fill(L"C");
    EXPECT_EQ(LastLogIdx(), 0u) << "after index 2 comes index 0";
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
        {"Options taken as given", L"Options", L"0x3C", nullptr, &CLogging::GetOptions, 0x3C},
    };
    for (const auto& c : cases) {
        Clean();
        if (c.app) Ini(c.key, c.app);
        if (c.global) Ini(c.key, c.global, true);
        EXPECT_EQ(((*Make()).*c.get)(), c.expected) << c.name;
    }
}

TEST_F(FileLoggingTest, SeverityThresholdAndEnable)
{
    const struct {
        const wchar_t *key, *value;  // key nullptr: no log.ini value
        DWORD firstPassing;          // 7: none
    } cases[] = {{nullptr, nullptr, 3}, {L"Severity", L"0", 0}, {L"Severity", L"6", 6}, {L"Enable", L"0", 7}};
    for (const auto& c : cases) {
        Clean();
        if (c.key) Ini(c.key, c.value);
        auto logger = Make();
        for (DWORD level = 0; level <= 6; ++level) {
            EXPECT_EQ(logger->IsLevelEnabled(level) != FALSE, level >= c.firstPassing) << "level " << level;
        }
    }
}

TEST_F(FileLoggingTest, InitialisationResults)
{
    CLogging logger;
    EXPECT_EQ(logger.Shutdown(), CLogging::kErrorNotInitialized);
    EXPECT_EQ(logger.Initialize(L"", nullptr, nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(logger.Initialize(L"QEL", nullptr, L"", 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(logger.Initialize(L"QEL", nullptr, nullptr, 0), 0u);
    EXPECT_EQ(logger.Initialize(L"QEL", nullptr, nullptr, 0), CLogging::kErrorAlreadyInitialized);
}

}  // namespace
