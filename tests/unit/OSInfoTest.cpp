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

// A made-up system answering VerifyVersionInfoW as the platform does: each field of the type mask against
// its own condition from the condition mask. The 9x line is always major version 4.
struct FakeVersionAPI {
    DWORD platform = VER_PLATFORM_WIN32_NT, minor = 0;  // the minor is asked only on the 9x line
    WORD servicePack = 0;

    BOOL VerifyVersionInfoW(OSVERSIONINFOEXW& info, DWORD typeMask, DWORDLONG conditions)
    {
        EXPECT_EQ(typeMask & ~DWORD(VER_MINORVERSION | VER_MAJORVERSION | VER_PLATFORMID | VER_SERVICEPACKMAJOR), 0u);
        auto holds = [&](DWORD type, DWORDLONG actual, DWORDLONG wanted) {
            if (!(typeMask & type)) return true;
            const DWORDLONG condition = (conditions >> (3 * __builtin_ctz(type))) & 7;
            EXPECT_TRUE(condition == VER_EQUAL || condition == VER_GREATER_EQUAL) << condition;
            return condition == VER_EQUAL ? actual == wanted : actual >= wanted;
        };
        return holds(VER_MINORVERSION, minor, info.dwMinorVersion) &&
               holds(VER_MAJORVERSION, platform == VER_PLATFORM_WIN32_WINDOWS ? 4 : 0, info.dwMajorVersion) &&
               holds(VER_PLATFORMID, platform, info.dwPlatformId) &&
               holds(VER_SERVICEPACKMAJOR, servicePack, info.wServicePackMajor);
    }
};

struct TestOSInfo : Stratum::internal::OSInfoProxy<FakeVersionAPI> {
    TestOSInfo(std::wstring text, FakeVersionAPI system, bool wow64) : OSInfoProxy(system), text(text), wow64(wow64) {}
    bool IsWow64Process() override { return wow64; }
    std::wstring readProductVersion() override { return ++reads, text; }
    std::wstring text;
    bool wow64;
    int reads = 0;
};

constexpr DWORD kNT = VER_PLATFORM_WIN32_NT, k9x = VER_PLATFORM_WIN32_WINDOWS;

TEST(OSInfoTest, KindVersionServicePackAndBitnessTable)
{
    const struct {
        const wchar_t* productVersion;
        FakeVersionAPI system;
        bool wow64;                         // what the process answers
        DWORD kind, bitness, major, minor;  // expected, with the service pack and whether the kind is known
        WORD servicePack;
        bool known;
    } cases[] = {
        {L"4.0.1381.7", {kNT, 0, 6}, true, 3, 0, 4, 0, 0, true},  // NT 4 is not probed for service packs
        {L"5.0.2195.6717", {kNT, 0, 4}, true, 4, 0, 5, 0, 4, true},  // before XP every system counts as 32-bit
        {L"5.1.2600", {kNT, 0, 3}, true, 6, 1, 5, 1, 3, true},   {L"5.2.3790", {kNT, 0, 2}, false, 6, 0, 5, 2, 2, true},
        {L"5.1.2600.0", {kNT, 0, 4}, true, 6, 1, 5, 1, 0, true},  // above the highest probed service pack
        {L"6.0.6002", {kNT, 0, 2}, true, 7, 1, 6, 0, 2, true},    {L"6.1.7601", {kNT, 0, 1}, true, 8, 1, 6, 1, 1, true},
        {L"6.2.9200.16384", {kNT, 0, 1}, true, 9, 1, 6, 2, 0, true},  // from 6.2 on service packs are not probed
        {L"6.4.9841", {kNT}, false, 10, 0, 6, 4, 0, true},        {L"10.0.19041", {kNT}, true, 11, 1, 10, 0, 0, true},
        {L"7.0.1.2", {kNT}, true, 12, 1, 7, 0, 0, false},         {L"11.0.22000", {kNT}, false, 12, 0, 11, 0, 0, false},
        {L"6", {kNT}, false, 7, 0, 6, 0, 0, true},  // missing parts count as 0
        {L"6.1.7601.17514", {0}, true, 0, 2, 0, 0, 0, false},  // neither platform: undetermined
        // The 9x line: the minor is searched on the platform (up to 100); the
        // file's own numbers play no part, a service pack is never probed.
        {L"4.0.0.950", {k9x, 0, 1}, true, 1, 0, 4, 0, 0, true}, {L"4.0.0.950", {k9x, 1}, true, 2, 0, 4, 1, 0, true},
        {L"4.0.0.950", {k9x, 7}, true, 2, 0, 4, 7, 0, true},    {L"4.0.0.950", {k9x, 8}, true, 2, 0, 4, 8, 0, true},
        {L"4.0.0.950", {k9x, 9}, true, 2, 0, 4, 9, 0, true},    {L"4.0.0.950", {k9x, 89}, true, 2, 0, 4, 89, 0, true},
        {L"4.0.0.950", {k9x, 90}, true, 5, 0, 4, 90, 0, true},  {L"4.0.0.950", {k9x, 100}, true, 5, 0, 4, 100, 0, true},
        {L"4.0.0.950", {k9x, 150}, true, 5, 0, 4, 100, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.productVersion << " platform " << c.system.platform << " minor "
                                        << c.system.minor << " sp " << c.system.servicePack);
        TestOSInfo os(c.productVersion, c.system, c.wow64);
        OSVersionRecord v;
        v.major = v.minor = 99;
        const bool known = os.GetOSVersion(v);
        EXPECT_EQ(std::make_tuple(os.GetOSKind(), os.GetBitness(), known, v.major, v.minor, v.servicePackMajor),
                  std::make_tuple(c.kind, c.bitness, c.known, c.major, c.minor, c.servicePack));
        EXPECT_EQ(std::make_pair(os.IsNTPlatform(), os.reads), std::make_pair(c.system.platform == kNT, 1));
    }
}

TEST(OSInfoTest, ProductVersionTextAndEachUnreadableForm)
{
    const struct {
        const wchar_t* text;
        DWORD parts[4] = {};  // all zero: unreadable, nothing determined
    } cases[] = {
        {L"10.0.18362.1", {10, 0, 18362, 1}}, {L"6.1", {6, 1, 0, 0}}, {L"4294967295.0.0.0", {4294967295u, 0, 0, 0}},
        {L"1.2.3.4.5", {1, 2, 3, 4}},  // only four parts are read
        {L""}, {L"abc"}, {L"6..1"}, {L"6.1a.0"}, {L".6.1"}, {L"6.1."}, {L"-6.1"}, {L" 6.1"}, {L"4294967296.0"},
        {L"6.+1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "'" << c.text << "'");
        // A readable text is kept even where neither platform answers; an
        // unreadable one leaves an NT system undetermined.
        TestOSInfo os(c.text, c.parts[0] ? FakeVersionAPI{0} : FakeVersionAPI{kNT, 0, 1}, true);
        DWORD parts[4] = {9, 9, 9, 9};
        os.GetProductVersion(parts[0], parts[1], parts[2], parts[3]);
        EXPECT_EQ(std::vector<DWORD>(parts, parts + 4), std::vector<DWORD>(c.parts, c.parts + 4));
        if (c.parts[0] != 0) continue;
        OSVersionRecord version;
        version.major = 99;
        const bool known = os.GetOSVersion(version);
        EXPECT_EQ(std::make_tuple(os.GetOSKind(), os.GetBitness(), known, version.major, os.reads),
                  std::make_tuple(0ul, 2ul, false, 0ul, 1)) << "undetermined, and the text is read only once";
    }
}

// Wine's kernel32 carries product version 10.0.x, and this test program is a
// native 64-bit process (a 32-bit build would run under WOW64).
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

TEST(FileVersionInfoTest, StringsFollowTheTranslationListAndOnlyTheFirstLoadCounts)
{
    FileVersionInfo program, own;
    ASSERT_TRUE(program.Load(kProgram.c_str()));
    EXPECT_TRUE(program.Load(kNoFile.c_str()));
    EXPECT_EQ(Value(program, L"FileVersion") + L"|" + Value(program, L"NoSuchValue"), L"1.0.0.0|");
    EXPECT_EQ(FirstTranslation(program), std::make_pair(WORD(0x0409), WORD(1200)));

    // This test program's own resource lists German first, its string blocks English first.
    wchar_t self[MAX_PATH];
    ASSERT_NE(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    ASSERT_TRUE(own.Load(self));
    EXPECT_EQ(Value(own, L"FileDescription"), L"First translation");
    EXPECT_EQ(Value(own, L"OnlyFirst") + L"|" + Value(own, L"OnlySecond") + L"|" + Value(own, L"OnlyNeither"),
              L"de|en|");
    EXPECT_EQ(FirstTranslation(own), std::make_pair(WORD(0x0407), WORD(1252)));

    const std::wstring textFile = testmachine::ProgramDataFolder() + L"\\osinfo-plain.txt";
    testmachine::WriteText(textFile, L"no version resource here");
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
