#include "common/Platform.h"

#include "base/OSInfo.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Stratum::FileVersionInfo;

// The version resource of a file. Nothing in the program asks for the system's kind or version.
const std::wstring kProgram = testmachine::BinDir() + L"\\QELCommonBuild.exe";
const std::wstring kNoFile = testmachine::BinDir() + L"\\no-such-file.exe";

std::wstring Value(const FileVersionInfo& info, const wchar_t* name)
{
    std::wstring value = L"stale";
    info.GetString(name, value);
    return value;
}

std::pair<WORD, WORD> FirstTranslation(const FileVersionInfo& info)
{
    WORD language = 7, codePage = 7;  // kept when there is none
    const bool found = info.GetFirstTranslation(language, codePage);
    EXPECT_EQ(found, language != 7);
    return {language, codePage};
}

// (The program reads only its own file, which has one translation, for its event-trace lines.)
TEST(FileVersionInfoTest, StringsOfTheFirstTranslation)
{
    FileVersionInfo program;
    ASSERT_TRUE(program.Load(kProgram.c_str()));
    EXPECT_EQ(Value(program, L"FileVersion") + L"|" + Value(program, L"NoSuchValue"), L"1.0.0.0|");
    EXPECT_EQ(FirstTranslation(program), std::make_pair(WORD(0x0409), WORD(1200)));

    const std::wstring textFile = testmachine::ProgramDataFolder() + L"\\osinfo-plain.txt";
    testmachine::WriteBytes(textFile, "no version resource here", 24);
    for (const std::wstring& path : {kNoFile, textFile, std::wstring()}) {
        SCOPED_TRACE(path);
        FileVersionInfo info;
        EXPECT_FALSE(info.Load(path.c_str()));
        EXPECT_EQ(Value(info, L"FileVersion"), L"");
        EXPECT_EQ(FirstTranslation(info), std::make_pair(WORD(7), WORD(7)));
    }
}

}  // namespace
