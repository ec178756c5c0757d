#include "common/Platform.h"

#include "common/LibraryLoader.h"
#include "jobs/QELKrsIntegrate.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using Calls = std::vector<std::string>;

// A folder holding the named stand-in build under the library's real name
// (or nothing), with its trailing backslash.
std::wstring LibraryFolder(const std::wstring& name, const wchar_t* standin)
{
    const std::wstring folder = L"C:\\krs\\" + name + L"\\";
    testmachine::RemoveTree(folder.substr(0, folder.size() - 1));
    testmachine::CreateFolder(folder);
    if (standin) {
        const std::wstring from = testmachine::BinDir() + L"\\" + standin;
        EXPECT_TRUE(::CopyFileW(from.c_str(), (folder + CQELKrsIntegrate::kLibraryName).c_str(), FALSE));
    }
    return folder;
}

class KrsIntegrateTest : public testing::Test {
protected:
    void SetUp() override
    {
        testbed::ClearKrsIntegrateKnobs();
        testbed::ClearKrsIntegrateJournal();
        TestLog().Clear();
    }
};

TEST_F(KrsIntegrateTest, LoadsFromTheProgramFolderAndFreesWithItsOwner)
{
    // The stand-in lies beside the test program, as the real library lies beside QELCommonBuild.exe.
    EXPECT_EQ(ProgramFolder(), testmachine::BinDir() + L"\\");
    testbed::SetKrsIntegrateKnob(L"RunKrsAutoDownloadResult", 7);
    {
        CQELKrsIntegrate krs;
        EXPECT_EQ(krs.Module(), nullptr) << "nothing is loaded before the first call";
        EXPECT_EQ(krs.RunKrsAutoDownload(), 7u);
        EXPECT_EQ(krs.RunKrsAutoDownload(), 7u);
        EXPECT_EQ(testbed::KrsIntegrateCalls(),
                  (Calls{"load", "RunKrsAutoDownload result=7", "RunKrsAutoDownload result=7"}));
    }
    EXPECT_EQ(testbed::KrsIntegrateCalls().back(), "unload") << "the owner's end frees the library";
    EXPECT_TRUE(TestLog().Lines().empty());
}

TEST_F(KrsIntegrateTest, ResultsAndOutputsComeFromTheLibrary)
{
    const struct {
        const char* name;
        std::function<DWORD(CQELKrsIntegrate&)> call;
        DWORD result;
        const char* journal;
    } cases[] = {
        {"AddQelIntoRvnQueryparam", [](CQELKrsIntegrate& k) { return k.AddQelIntoRvnQueryparam(); }, 11,
         "AddQelIntoRvnQueryparam result=11"},
        {"UpdateOobeDoneState", [](CQELKrsIntegrate& k) { return k.UpdateOobeDoneState(); }, 12,
         "UpdateOobeDoneState result=12"},
        {"UpdateJEulaAcceptance", [](CQELKrsIntegrate& k) { return k.UpdateJEulaAcceptance(); }, 0,
         "UpdateJEulaAcceptance result=0"},
        {"RunKrsAutoDownload", [](CQELKrsIntegrate& k) { return k.RunKrsAutoDownload(); }, 0xFFFFFFFF,
         "RunKrsAutoDownload result=4294967295"},
    };
    CQELKrsIntegrate krs;
    for (const auto& c : cases) {
        const std::string knob = std::string(c.name) + "Result";
        testbed::SetKrsIntegrateKnob(std::wstring(knob.begin(), knob.end()), c.result);
        EXPECT_EQ(c.call(krs), c.result) << c.name;
        EXPECT_EQ(testbed::KrsIntegrateCalls().back(), c.journal);
    }
}

TEST_F(KrsIntegrateTest, OutputsArePassedThrough)
{
    const struct {
        const wchar_t* knob;  // nullptr: the library leaves the output alone
        DWORD knobValue;
        DWORD preset;
        DWORD expected;
    } cases[] = {
        {L"AutoDownloadCompleted", 1, 0, 1},
        {L"AutoDownloadCompleted", 0, 5, 0},
        {nullptr, 0, 0, 0},
        {L"MaxAttemptOver", 3, 0, 3},
        {L"MaxAttemptOver", 0, 0, 0},
    };
    CQELKrsIntegrate krs;
    for (const auto& c : cases) {
        testbed::ClearKrsIntegrateKnobs();
        if (c.knob) testbed::SetKrsIntegrateKnob(c.knob, c.knobValue);
        testbed::SetKrsIntegrateKnob(L"IsKrsAutoDownloadCompletedResult", 21);
        testbed::SetKrsIntegrateKnob(L"IsAutodownloadMaxAttemptOverResult", 22);
        DWORD completed = c.preset;
        DWORD over = c.preset;
        EXPECT_EQ(krs.IsKrsAutoDownloadCompleted(&completed), 21u);
        EXPECT_EQ(krs.IsAutodownloadMaxAttemptOver(&over), 22u);
        const bool completedKnob = c.knob && std::wstring(c.knob) == L"AutoDownloadCompleted";
        const bool overKnob = c.knob && std::wstring(c.knob) == L"MaxAttemptOver";
        EXPECT_EQ(completed, completedKnob ? c.expected : c.preset);
        EXPECT_EQ(over, overKnob ? c.expected : c.preset);
    }
    EXPECT_EQ(testbed::KrsIntegrateCalls()[1], "IsKrsAutoDownloadCompleted in=0 out=1 result=21");
}

TEST_F(KrsIntegrateTest, MissingLibraryGivesSixAndIsRetriedOnTheNextCall)
{
    const std::wstring folder = LibraryFolder(L"missing", nullptr);
    CQELKrsIntegrate krs(folder);
    DWORD completed = 0;
    DWORD over = 0;
    EXPECT_EQ(krs.AddQelIntoRvnQueryparam(), 6u);
    EXPECT_EQ(krs.UpdateOobeDoneState(), 6u);
    EXPECT_EQ(krs.UpdateJEulaAcceptance(), 6u);
    EXPECT_EQ(krs.RunKrsAutoDownload(), 6u);
    EXPECT_EQ(krs.IsKrsAutoDownloadCompleted(&completed), 6u);
    EXPECT_EQ(krs.IsAutodownloadMaxAttemptOver(&over), 6u);
    EXPECT_EQ(completed, 0u);
    EXPECT_EQ(over, 0u);

    // One line per call: every call tried the load again.
    const std::wstring line = L"Failed to load KrsIntegration DLL. Error code = " + std::to_wstring(ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(TestLog().Count(line), 6u);
    EXPECT_EQ(TestLog().Find(line).level, 4u);
    EXPECT_EQ(TestLog().Find(line).function, L"CQELKrsIntegrate::LoadDLL");

    // The library arrives: the next call loads it.
    const std::wstring from = testmachine::BinDir() + L"\\QELKrsIntegrate.dll";
    ASSERT_TRUE(::CopyFileW(from.c_str(), (folder + CQELKrsIntegrate::kLibraryName).c_str(), FALSE));
    testbed::SetKrsIntegrateKnob(L"AutoDownloadCompleted", 1);
    EXPECT_EQ(krs.IsKrsAutoDownloadCompleted(&completed), 0u);
    EXPECT_EQ(completed, 1u);
    EXPECT_TRUE(krs.LoadDLL());
    EXPECT_EQ(testbed::KrsIntegrateCalls(), (Calls{"load", "IsKrsAutoDownloadCompleted in=0 out=1 result=0"}));
}

TEST_F(KrsIntegrateTest, MissingExportGivesOneAndNamesTheExport)
{
    // The partial build lacks UpdateOobeDoneState and IsAutodownloadMaxAttemptOver.
    CQELKrsIntegrate krs(LibraryFolder(L"partial", L"QELKrsIntegrate-partial.dll"));
    testbed::SetKrsIntegrateKnob(L"MaxAttemptOver", 1);
    testbed::SetKrsIntegrateKnob(L"RunKrsAutoDownloadResult", 9);

    EXPECT_EQ(krs.UpdateOobeDoneState(), 1u);
    DWORD over = 0;
    EXPECT_EQ(krs.IsAutodownloadMaxAttemptOver(&over), 1u);
    EXPECT_EQ(over, 0u) << "a missing export leaves the output at the caller's value";
    EXPECT_EQ(krs.RunKrsAutoDownload(), 9u) << "the exports that are there still work";

    const std::wstring code = std::to_wstring(ERROR_PROC_NOT_FOUND);
    const CapturedLine oobe = TestLog().Find(L"UpdateOobeDoneState : Error in GetProcAddress:: Error Code " + code);
    EXPECT_EQ(oobe.level, 4u);
    EXPECT_EQ(oobe.function, L"CQELKrsIntegrate::UpdateOobeDoneState");
    const CapturedLine max =
        TestLog().Find(L"Error in GetProcAddress 'IsAutodownloadMaxAttemptOver': Error Code " + code);
    EXPECT_EQ(max.level, 4u);
    EXPECT_EQ(max.function, L"CQELKrsIntegrate::IsAutodownloadMaxAttemptOver");
    EXPECT_EQ(TestLog().Lines().size(), 2u);
    EXPECT_EQ(testbed::KrsIntegrateCalls(), (Calls{"load", "RunKrsAutoDownload result=9"}));
}

TEST_F(KrsIntegrateTest, OnlyAFullPathIsLoaded)
{
    const struct {
        const wchar_t* path;
        bool accepted;
    } cases[] = {
        {L"C:\\krs\\QELKrsIntegrate.dll", true},
        {L"\\\\server\\share\\QELKrsIntegrate.dll", false},
        {L"QELKrsIntegrate.dll", false},
        {L"krs\\QELKrsIntegrate.dll", false},
        {L"\\krs\\QELKrsIntegrate.dll", false},
        {L"C:QELKrsIntegrate.dll", false},
        {L"C:\\", false},
        {L"C:\\krs\\", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsAbsoluteFilePath(c.path), c.accepted) << testing::PrintToString(std::wstring(c.path));
    }

    // A relative folder is refused even though the library is there
    // relative to the current directory.
    LibraryFolder(L"relative", L"QELKrsIntegrate.dll");
    ASSERT_TRUE(::SetCurrentDirectoryW(L"C:\\krs"));
    CQELKrsIntegrate krs(L"relative\\");
    EXPECT_EQ(krs.RunKrsAutoDownload(), 6u);
    EXPECT_TRUE(TestLog().Has(L"Failed to load KrsIntegration DLL. Error code = " + std::to_wstring(ERROR_BAD_PATHNAME)));
    EXPECT_TRUE(testbed::KrsIntegrateCalls().empty());
}

}  // namespace
