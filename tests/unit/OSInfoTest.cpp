#include "common/Platform.h"

#include "config/OSInfo.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Stratum::FileVersionInfo;
using Stratum::OSVersionRecord;

// A made-up system answering VerifyVersionInfoW as the platform does: each
// field of the type mask against its own condition from the condition mask.
// The 9x line is always major version 4.
struct FakeVersionAPI {
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD minor = 0;  // asked only on the 9x line
    WORD servicePack = 0;

    BOOL VerifyVersionInfoW(OSVERSIONINFOEXW& info, DWORD typeMask, DWORDLONG conditionMask)
    {
        const struct {
            DWORD type;
            DWORDLONG actual, wanted;
        } fields[] = {
            {VER_MINORVERSION, minor, info.dwMinorVersion},
            {VER_MAJORVERSION, platform == VER_PLATFORM_WIN32_WINDOWS ? 4u : 0u, info.dwMajorVersion},
            {VER_PLATFORMID, platform, info.dwPlatformId},
            {VER_SERVICEPACKMAJOR, servicePack, info.wServicePackMajor},
        };
        bool match = true;
        for (const auto& f : fields) {
            if (!(typeMask & f.type)) continue;
            switch ((conditionMask >> (3 * __builtin_ctz(f.type))) & 7) {
            case VER_EQUAL: match = match && f.actual == f.wanted; break;
            case VER_GREATER_EQUAL: match = match && f.actual >= f.wanted; break;
            default: ADD_FAILURE() << "a condition the fake does not know";
            }
        }
        EXPECT_EQ(typeMask & ~DWORD(VER_MINORVERSION | VER_MAJORVERSION | VER_PLATFORMID | VER_SERVICEPACKMAJOR), 0u);
        return match ? TRUE : FALSE;
    }
};

class TestOSInfo : public Stratum::internal::OSInfoProxy<FakeVersionAPI> {
public:
    TestOSInfo(std::wstring productVersion, FakeVersionAPI system, bool wow64 = false)
        : OSInfoProxy(system), m_productVersion(std::move(productVersion)), m_wow64(wow64)
    {
    }
    bool IsWow64Process() override { return m_wow64; }
    int reads = 0;

protected:
    std::wstring readProductVersion() override { return ++reads, m_productVersion; }

private:
    std::wstring m_productVersion;
    bool m_wow64;
};

FakeVersionAPI Nt(WORD servicePack = 0) { return {VER_PLATFORM_WIN32_NT, 0, servicePack}; }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(OSInfoTest, NtKindServicePackAndBitnessTable)
{
    const struct {
        const wchar_t* productVersion;
        WORD servicePack;  // what the system answers
        bool wow64;
        DWORD kind, bitness, major, minor;
        WORD expectedServicePack;
        bool known;
    } cases[] = {
        {L"3.51.1057.1", 0, true, 3, 0, 3, 51, 0, true},
        {L"4.0.1381.7", 6, true, 3, 0, 4, 0, 0, true},  // NT 4 is not probed for service packs
        {L"5.0.2195.6717", 4, true, 4, 0, 5, 0, 4, true},  // before XP every system counts as 32-bit
        {L"5.1.2600.5512", 3, true, 6, 1, 5, 1, 3, true},
        {L"5.2.3790.3959", 2, false, 6, 0, 5, 2, 2, true},
        {L"5.1.2600.0", 4, true, 6, 1, 5, 1, 0, true},  // above the highest probed service pack
        {L"6.0.6002.18005", 2, true, 7, 1, 6, 0, 2, true},
        {L"6.0.6002.18005", 3, true, 7, 1, 6, 0, 0, true},
        {L"6.1.7601.17514", 1, true, 8, 1, 6, 1, 1, true},
        {L"6.2.9200.16384", 1, true, 9, 1, 6, 2, 0, true},  // from 6.2 on service packs are not probed
        {L"6.3.9600.16384", 0, true, 10, 1, 6, 3, 0, true},
        {L"6.4.9841.0", 0, false, 10, 0, 6, 4, 0, true},
        {L"10.0.19041.1", 0, true, 11, 1, 10, 0, 0, true},
        {L"7.0.1.2", 0, true, 12, 1, 7, 0, 0, false},
        {L"11.0.22000.1", 0, false, 12, 0, 11, 0, 0, false},
        {L"6", 0, false, 7, 0, 6, 0, 0, true},  // missing parts count as 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.productVersion) + " sp " + std::to_string(c.servicePack));
        TestOSInfo os(c.productVersion, Nt(c.servicePack), c.wow64);
        DWORD kind = 99, bitness = 99;
        os.GetKindAndBitness(kind, bitness);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(bitness, c.bitness);
        EXPECT_EQ(os.GetOSKind(), c.kind);
        EXPECT_EQ(os.GetBitness(), c.bitness);
        OSVersionRecord version;
        version.major = version.minor = 99;
        EXPECT_EQ(os.GetOSVersion(version), c.known);
        EXPECT_EQ(version.major, c.major);
        EXPECT_EQ(version.minor, c.minor);
        EXPECT_EQ(version.servicePackMajor, c.expectedServicePack);
        EXPECT_TRUE(os.IsNTPlatform());
    }
}

TEST(OSInfoTest, Win9xMinorIsSearchedOnThePlatform)
{
    const struct {
        DWORD minor;  // what the system answers
        DWORD kind;
        DWORD expectedMinor;
    } cases[] = {
        {0, 1, 0},   {1, 2, 1},   {7, 2, 7},   {8, 2, 8},     {9, 2, 9},
        {89, 2, 89}, {90, 5, 90}, {96, 5, 96}, {100, 5, 100}, {150, 5, 100},  // the search stops at 100
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("minor " + std::to_string(c.minor));
        // The file's own numbers play no part on this line; a service pack is never probed.
        TestOSInfo os(L"4.0.0.950", {VER_PLATFORM_WIN32_WINDOWS, c.minor, 1}, true);
        EXPECT_EQ(os.GetOSKind(), c.kind);
        EXPECT_EQ(os.GetBitness(), 0u);
        OSVersionRecord version;
        EXPECT_TRUE(os.GetOSVersion(version));
        EXPECT_EQ(version.major, 4u);
        EXPECT_EQ(version.minor, c.expectedMinor);
        EXPECT_EQ(version.servicePackMajor, 0u);
        EXPECT_FALSE(os.IsNTPlatform());
    }
}

TEST(OSInfoTest, ProductVersionTextAndEachUnreadableForm)
{
    const struct {
        const wchar_t* text;
        DWORD parts[4] = {};  // all zero: unreadable, nothing determined
    } cases[] = {
        {L"10.0.18362.1", {10, 0, 18362, 1}},
        {L"6.1", {6, 1, 0, 0}},
        {L"1.2.3.4.5", {1, 2, 3, 4}},  // only four parts are read
        {L"4294967295.0.0.0", {4294967295u, 0, 0, 0}},
        {L""}, {L"abc"}, {L"6..1"}, {L"6.1a.0"}, {L".6.1"}, {L"6.1."}, {L"-6.1"}, {L" 6.1"}, {L"4294967296.0"},
        {L"6.+1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + Narrow(c.text) + "'");
        TestOSInfo os(c.text, Nt(1), true);
        DWORD parts[4] = {9, 9, 9, 9};
        os.GetProductVersion(parts[0], parts[1], parts[2], parts[3]);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(parts[i], c.parts[i]) << "part " << i;
        if (c.parts[0] != 0) continue;
        EXPECT_EQ(os.GetOSKind(), 0u);
        EXPECT_EQ(os.GetBitness(), 2u);
        OSVersionRecord version;
        version.major = 99;
        EXPECT_FALSE(os.GetOSVersion(version));
        EXPECT_EQ(version.major, 0u);
    }

    // Neither platform: undetermined, but the product version is kept.
    TestOSInfo neither(L"6.1.7601.17514", {0, 0, 0}, true);
    EXPECT_EQ(neither.GetOSKind(), 0u);
    EXPECT_EQ(neither.GetBitness(), 2u);
    OSVersionRecord version;
    EXPECT_FALSE(neither.GetOSVersion(version));
    DWORD parts[4] = {};
    neither.GetProductVersion(parts[0], parts[1], parts[2], parts[3]);
    EXPECT_EQ(parts[0], 6u);
    EXPECT_EQ(parts[3], 17514u);
    EXPECT_FALSE(neither.IsNTPlatform());
}

TEST(OSInfoTest, VersionIsReadOncePerObject)
{
    for (const wchar_t* text : {L"6.1.7601.1", L"garbage"}) {
        TestOSInfo os(text, Nt(1), true);
        OSVersionRecord version;
        DWORD a, b, c, d;
        os.GetOSKind(), os.GetBitness(), os.GetOSVersion(version), os.GetKindAndBitness(a, b);
        os.GetProductVersion(a, b, c, d);
        EXPECT_EQ(os.reads, 1) << Narrow(text);
    }
}

// Wine's kernel32 carries product version 10.0.x, and this test program is a
// native 64-bit process (a 32-bit build would run under WOW64).
TEST(OSInfoTest, RealSystem)
{
    Stratum::OSInfo os;
    EXPECT_TRUE(os.IsNTPlatform());
    DWORD major = 0, minor = 0, build = 0, revision = 0;
    os.GetProductVersion(major, minor, build, revision);
    EXPECT_EQ(major, 10u);
    EXPECT_EQ(minor, 0u);
    EXPECT_GT(build, 0u);
    EXPECT_EQ(os.GetOSKind(), 11u);
    const bool wow64 = sizeof(void*) == 4;
    EXPECT_EQ(os.IsWow64Process(), wow64);
    EXPECT_EQ(os.GetBitness(), wow64 ? 1u : 0u);
    OSVersionRecord version;
    EXPECT_TRUE(os.GetOSVersion(version));
    EXPECT_EQ(version.major, 10u);
    EXPECT_EQ(version.servicePackMajor, 0u);
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

TEST(FileVersionInfoTest, ReadsTheProgramsResourceAndOnlyTheFirstLoadCounts)
{
    FileVersionInfo info;
    ASSERT_TRUE(info.Load(kProgram.c_str()));
    EXPECT_TRUE(info.Load(kNoFile.c_str()));
    EXPECT_EQ(Value(info, L"FileVersion"), L"1.0.0.0");
    EXPECT_EQ(Value(info, L"ProductName"), L"QEL");
    EXPECT_EQ(Value(info, L"NoSuchValue"), L"");
    EXPECT_EQ(FirstTranslation(info), std::make_pair(WORD(0x0409), WORD(1200)));

    FileVersionInfo failed;
    ASSERT_FALSE(failed.Load(kNoFile.c_str()));
    EXPECT_FALSE(failed.Load(kProgram.c_str()));
    EXPECT_EQ(Value(failed, L"ProductName"), L"");
}

TEST(FileVersionInfoTest, TranslationsAreTriedInTheirListedOrder)
{
    // This test program's own resource lists German first, its string blocks English first.
    wchar_t self[MAX_PATH];
    ASSERT_NE(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    FileVersionInfo info;
    ASSERT_TRUE(info.Load(self));
    EXPECT_EQ(Value(info, L"FileDescription"), L"First translation");
    EXPECT_EQ(Value(info, L"OnlyFirst"), L"de");
    EXPECT_EQ(Value(info, L"OnlySecond"), L"en");
    EXPECT_EQ(Value(info, L"OnlyNeither"), L"");
    EXPECT_EQ(FirstTranslation(info), std::make_pair(WORD(0x0407), WORD(1252)));
}

TEST(FileVersionInfoTest, FilesWithoutAResourceGiveNothing)
{
    const std::wstring textFile = testmachine::ProgramDataFolder() + L"\\osinfo-plain.txt";
    testmachine::WriteText(textFile, L"no version resource here");
    for (const std::wstring& path : {kNoFile, textFile, std::wstring()}) {
        SCOPED_TRACE(Narrow(path));
        FileVersionInfo info;
        EXPECT_FALSE(info.Load(path.c_str()));
        EXPECT_EQ(Value(info, L"FileVersion"), L"");
        EXPECT_EQ(FirstTranslation(info), std::make_pair(WORD(7), WORD(7)));
    }
    FileVersionInfo never;
    EXPECT_EQ(Value(never, L"FileVersion"), L"");

    // The system folder variant: kernel32 is there, a library beside this test is not.
    Stratum::SystemFileVersionInfo kernel32, missing, program;
    ASSERT_TRUE(kernel32.Load(L"kernel32.dll"));
    EXPECT_EQ(Value(kernel32, L"ProductVersion").rfind(L"10.0.", 0), 0u) << Narrow(Value(kernel32, L"ProductVersion"));
    EXPECT_FALSE(missing.Load(L"no-such-library.dll"));
    EXPECT_FALSE(program.Load(L"QELCommonBuild.exe"));
}

}  // namespace
