#include "common/Platform.h"

#include "config/OSInfo.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using Stratum::FileVersionInfo;
using Stratum::OSVersionRecord;

// Nothing in the program asks for the system's kind or version yet, so they are
// checked once, as this machine answers: Wine's kernel32 carries product version
// 10.0.x, and this test program is a native 64-bit process (a 32-bit build would
// run under WOW64).
TEST(OSInfoTest, RealSystem)
{
    Stratum::OSInfo os;
    DWORD major = 0, minor = 0, build = 0, revision = 0, kind = 0, bitness = 9;
    os.GetProductVersion(major, minor, build, revision);
    EXPECT_GT(build, 0u);
    os.GetKindAndBitness(kind, bitness);
    const bool wow64 = sizeof(void*) == 4;
    OSVersionRecord v;
    const bool known = os.GetOSVersion(v);
    EXPECT_EQ(std::make_tuple(major, minor, kind, bitness, os.IsWow64Process(), os.IsNTPlatform()),
              std::make_tuple(10ul, 0ul, 11ul, wow64 ? 1ul : 0ul, wow64, true));
    EXPECT_EQ(std::make_tuple(known, v.major, v.servicePackMajor), std::make_tuple(true, 10ul, WORD(0)));
}

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

// (The program reads only its own file, which has one translation.)
TEST(FileVersionInfoTest, StringsOfTheFirstTranslationAndOnlyTheFirstLoadCounts)
{
    FileVersionInfo program;
    ASSERT_TRUE(program.Load(kProgram.c_str()));
    EXPECT_TRUE(program.Load(kNoFile.c_str()));
    EXPECT_EQ(Value(program, L"FileVersion") + L"|" + Value(program, L"NoSuchValue"), L"1.0.0.0|");
    EXPECT_EQ(FirstTranslation(program), std::make_pair(WORD(0x0409), WORD(1200)));

    const std::wstring textFile = testmachine::ProgramDataFolder() + L"\\osinfo-plain.txt";
    testmachine::WriteBytes(textFile, "no version resource here", 24);
    for (const std::wstring& path : {kNoFile, textFile, std::wstring()}) {
        SCOPED_TRACE(path);
        FileVersionInfo info;
        EXPECT_FALSE(info.Load(path.c_str()));
        EXPECT_FALSE(info.Load(kProgram.c_str())) << "only the first load counts";
        EXPECT_EQ(Value(info, L"FileVersion"), L"");
        EXPECT_EQ(FirstTranslation(info), std::make_pair(WORD(7), WORD(7)));
    }
    // The system folder variant looks nowhere else (kernel32 there: RealSystem).
    EXPECT_FALSE(Stratum::SystemFileVersionInfo().Load(L"QELCommonBuild.exe"));
}

}  // namespace
