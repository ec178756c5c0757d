#include "common/Platform.h"

#include "common/LibraryLoader.h"
#include "jobs/JobServices.h"
#include "jobs/QELAutoDownload.h"
#include "jobs/QELKrsIntegrate.h"
#include "logging/ETWLogging.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>

namespace {

using Calls = std::vector<std::string>;

// A folder holding the named stand-in build under the library's real name
// (or nothing), with its trailing backslash.
std::wstring LibraryFolder(const std::wstring& name, const wchar_t* standin,
                           const std::wstring& library = CQELKrsIntegrate::kLibraryName)
{
    const std::wstring folder = L"C:\\krs\\" + name + L"\\";
    testmachine::CreateFolder(folder);
    if (standin) {
        const std::wstring from = testmachine::BinDir() + L"\\" + standin;
        EXPECT_TRUE(::CopyFileW(from.c_str(), (folder + library).c_str(), FALSE));
    }
    return folder;
}

// Every export, called with an output of `out` where it has one.
const struct {
    const char* name;
    std::function<DWORD(CQELKrsIntegrate&, DWORD* out)> call;
} kExports[] = {
    {"AddQelIntoRvnQueryparam", [](CQELKrsIntegrate& k, DWORD*) { return k.AddQelIntoRvnQueryparam(); }},
    {"UpdateOobeDoneState", [](CQELKrsIntegrate& k, DWORD*) { return k.UpdateOobeDoneState(); }},
    {"UpdateJEulaAcceptance", [](CQELKrsIntegrate& k, DWORD*) { return k.UpdateJEulaAcceptance(); }},
    {"RunKrsAutoDownload", [](CQELKrsIntegrate& k, DWORD*) { return k.RunKrsAutoDownload(); }},
    {"IsKrsAutoDownloadCompleted", [](CQELKrsIntegrate& k, DWORD* out) { return k.IsKrsAutoDownloadCompleted(out); }},
    {"IsAutodownloadMaxAttemptOver",
     [](CQELKrsIntegrate& k, DWORD* out) { return k.IsAutodownloadMaxAttemptOver(out); }},
};

class KrsIntegrateTest : public testing::Test {
protected:
    void SetUp() override { testbed::ClearKrsIntegrateKnobs(), testbed::ClearKrsIntegrateJournal(), TestLog().Clear(); }
};

TEST_F(KrsIntegrateTest, LoadsOnceFromTheProgramFolderAndPassesResults)
{
    // The stand-in lies beside the test program, as the real library lies beside QELCommonBuild.exe. (The outputs
    // it writes reach the job: AutoDownloadScenarioTest.)
    {
        CQELKrsIntegrate krs;
        EXPECT_EQ(krs.Module(), nullptr) << "nothing is loaded before the first call";
        for (size_t i = 0; i < std::size(kExports); ++i) {
            const DWORD result = i == 0 ? 0xFFFFFFFF : static_cast<DWORD>(10 + i);  // each its own, one the largest
            const std::string name = kExports[i].name;
            testbed::SetKrsIntegrateKnob(std::wstring(name.begin(), name.end()) + L"Result", result);
            DWORD out = 5;
            EXPECT_EQ(kExports[i].call(krs, &out), result) << name;
            EXPECT_EQ(out, 5u) << "an output the library leaves alone stays the caller's";
            EXPECT_EQ(testbed::KrsIntegrateCalls().back().rfind(name + " ", 0), 0u) << name;
        }
        const Calls calls = testbed::KrsIntegrateCalls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "load"), 1) << "loaded once, at the first call";
    }
    EXPECT_EQ(testbed::KrsIntegrateCalls().back(), "unload") << "the owner's end frees the library";
    EXPECT_TRUE(TestLog().Lines().empty());
}

TEST_F(KrsIntegrateTest, NoLibraryGivesSixAndIsRetriedOnTheNextCall)
{
    // No library in the folder, or a folder that is not a full path (though
    // the library is there relative to the current directory).
    LibraryFolder(L"relative", L"QELKrsIntegrate.dll");
    ASSERT_TRUE(::SetCurrentDirectoryW(L"C:\\krs"));
    const std::wstring folder = LibraryFolder(L"missing", nullptr);
    CQELKrsIntegrate missing(folder), relative(L"relative\\");
    for (auto [krs, error] : {std::pair{&missing, ERROR_MOD_NOT_FOUND}, std::pair{&relative, ERROR_BAD_PATHNAME}}) {
        TestLog().Clear();
        for (const auto& e : kExports) {
            DWORD out = 0;
            EXPECT_EQ(e.call(*krs, &out), 6u) << e.name;
            EXPECT_EQ(out, 0u);
        }
        // One line per call: every call tried the load again.
        const std::wstring line = L"Failed to load KrsIntegration DLL. Error code = " + std::to_wstring(error);
        EXPECT_EQ(TestLog().Count(line), 6u);
        EXPECT_EQ(TestLog().Find(line).level, 4u);
    }
    EXPECT_TRUE(testbed::KrsIntegrateCalls().empty());

    // The library arrives: the next call loads it.
    LibraryFolder(L"missing", L"QELKrsIntegrate.dll");
    testbed::SetKrsIntegrateKnob(L"AutoDownloadCompleted", 1);
    DWORD completed = 0;
    EXPECT_EQ(missing.IsKrsAutoDownloadCompleted(&completed), 0u);
    EXPECT_EQ(completed, 1u);
    EXPECT_EQ(testbed::KrsIntegrateCalls(), (Calls{"load", "IsKrsAutoDownloadCompleted in=0 out=1 result=0"}));
}

TEST_F(KrsIntegrateTest, MissingExportGivesOneAndNamesTheExport)
{
    // The partial build lacks UpdateOobeDoneState and IsAutodownloadMaxAttemptOver.
    CQELKrsIntegrate krs(LibraryFolder(L"partial", L"QELKrsIntegrate-partial.dll"));
    testbed::SetKrsIntegrateKnob(L"MaxAttemptOver", 1);
    testbed::SetKrsIntegrateKnob(L"RunKrsAutoDownloadResult", 9);
    DWORD over = 0;
    EXPECT_EQ(krs.UpdateOobeDoneState() + krs.IsAutodownloadMaxAttemptOver(&over), 2u);
    EXPECT_EQ(over, 0u) << "a missing export leaves the output at the caller's value";
    EXPECT_EQ(krs.RunKrsAutoDownload(), 9u) << "the exports that are there still work";

    // Each line at level 4 under the export's own operation.
    const std::wstring code = std::to_wstring(ERROR_PROC_NOT_FOUND);
    std::vector<std::wstring> lines;
    for (const auto& l : TestLog().Lines()) lines.push_back(std::to_wstring(l.level) + L" " + l.function + L": " + l.text);
    EXPECT_EQ(lines, (std::vector<std::wstring>{
                         L"4 CQELKrsIntegrate::UpdateOobeDoneState: UpdateOobeDoneState : Error in GetProcAddress:: "
                         L"Error Code " + code,
                         L"4 CQELKrsIntegrate::IsAutodownloadMaxAttemptOver: Error in GetProcAddress "
                         L"'IsAutodownloadMaxAttemptOver': Error Code " + code}));
    EXPECT_EQ(testbed::KrsIntegrateCalls(), (Calls{"load", "RunKrsAutoDownload result=9"}));
}

// The foreign-product scanner's answer (the low byte), or why there is none; freed with the scanner.
TEST(ForeignScanTest, AnswerOrWhyThereIsNone)
{
    testbed::SetForeignScanAnswer(0x102);
    const struct {
        const wchar_t *folder, *standin;
        bool loads, asks;
    } rows[] = {{L"scan-none", nullptr, false, false},
                {L"scan-noexport", L"ForeignScan-noexport.dll", true, false},
                {L"scan", L"ForeignScan.dll", true, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.folder)));
        BYTE answer = 0;
        DWORD error = 0;
        {
            CForeignScan scan(LibraryFolder(row.folder, row.standin, L"ForeignScan.dll"));
            ASSERT_EQ(scan.Load(), row.loads);
            if (!row.loads) continue;
            EXPECT_EQ(scan.Ask(answer, error), row.asks);
        }
        EXPECT_EQ(std::make_pair(answer, error), row.asks ? std::make_pair(BYTE{2}, DWORD{0})
                                                          : std::make_pair(BYTE{0}, DWORD{ERROR_PROC_NOT_FOUND}));
        EXPECT_EQ(testbed::ForeignScanCalls().back(), "unload");
    }
}

TEST(LibraryLoaderTest, OnlyAFullPathIsLoaded)
{
    EXPECT_TRUE(IsAbsoluteFilePath(L"C:\\krs\\QELKrsIntegrate.dll"));
    for (const wchar_t* path : {L"\\\\server\\share\\QELKrsIntegrate.dll", L"QELKrsIntegrate.dll",
                                L"krs\\QELKrsIntegrate.dll", L"\\krs\\QELKrsIntegrate.dll", L"C:QELKrsIntegrate.dll",
                                L"C:\\", L"C:\\krs\\", L""}) {
        EXPECT_FALSE(IsAbsoluteFilePath(path)) << path;
    }
}

// CTest runs this case twice: from the build folder, and from a copy in a
// folder whose path is longer than MAX_PATH.
TEST(ProgramFolderTest, TheTaskRecordAndTheLogNameFollowTheProgramsOwnFolder)
{
    // The scheduler key exists: the task goes to the registry, as the service reads it.
    testmachine::SetString(L"SOFTWARE\\Tarsen\\QEL\\SCHEDULER", L"Owner", L"test");
    CQELAutoDownload(std::make_unique<CQELKrsIntegrate>(L"C:\\nowhere\\")).RegisterScheduleAutoDownloadTask(0);
    std::wstring path;
    EXPECT_TRUE(testmachine::ReadString(L"SOFTWARE\\Tarsen\\QEL\\SCHEDULER\\AutoDownload", L"Path", path));
    EXPECT_EQ(path, testmachine::BinDir() + L"\\QELCommonBuild.exe");
    EXPECT_EQ(ProgramFolder(), testmachine::BinDir() + L"\\");

    ETWLogging::CETWLogging logger;  // its per-program registry switches are found by this name
    ASSERT_EQ(logger.Initialize(L"QEL", nullptr, nullptr, 0), 0u);
    EXPECT_EQ(logger.AppName(), L"unit_integrate");
}

}  // namespace
