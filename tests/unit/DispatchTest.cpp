#include "common/Platform.h"

#include "app/JobFactory.h"
#include "tests/support/CaptureLog.h"

#include <gtest/gtest.h>

namespace {

TEST(DispatchTest, ContextParserTable)
{
    const struct {
        const wchar_t* commandLine;
        int context;
        const wchar_t* normalized;
    } cases[] = {
        {L"/context=2", 2, L"/context=2"},
        {L"/CONTEXT=2", 2, L"/context=2"},
        {L"  /context=2 \t", 2, L"/context=2"},
        {L"/context=2=x", 2, L"/context=2=x"},
        {L"/context=02", 2, L"/context=02"},
        {L"/context=+2", 2, L"/context=+2"},
        {L"/context= 4", 4, L"/context= 4"},
        {L"/context=2x", 2, L"/context=2x"},
        {L"/context=5", 5, L"/context=5"},
        {L"/context=-3", -3, L"/context=-3"},
        {L"/context", 0, L"/context"},
        {L"/context=", 0, L"/context="},
        {L"/context=abc", 0, L"/context=abc"},
        {L"/ctx=2", 0, L"/ctx=2"},
        {L"/context:2", 0, L"/context:2"},
        {L"/context =2", 0, L"/context =2"},
        {L"=2", 0, L"=2"},
        {L"", 0, L""},
        {L"   ", 0, L""},
    };
    for (const auto& c : cases) {
        std::wstring copy = c.commandLine;
        EXPECT_EQ(job_dispatch::ParseContextId(copy), c.context) << "'" << testing::PrintToString(copy) << "'";
        EXPECT_EQ(copy, c.normalized);
    }
}

TEST(DispatchTest, CommandLineWithoutAJobLogsBothLines)
{
    const struct {
        const wchar_t* commandLine;
        const wchar_t* shown;
    } cases[] = {
        {L"/context=7", L"/context=7"},
        {L"  /CONTEXT=7  ", L"/context=7"},
        {L"/context=0", L"/context=0"},
        {L"/ctx=4", L"/ctx=4"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        TestLog().Clear();
        EXPECT_FALSE(CJobFactory::GetJobObject(c.commandLine));
        const auto lines = TestLog().Lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].text, L"Invalid context id.");
        EXPECT_EQ(lines[0].level, 4u);
        EXPECT_EQ(lines[0].function, L"CJobFactory::GetJobObject");
        EXPECT_EQ(lines[1].text,
                  std::wstring(L"Bad command line, there are no jobs which matches the commadnline. cmd:") + c.shown);
        EXPECT_EQ(lines[1].level, 4u);
    }
}

TEST(DispatchTest, ContextFourSelectsTheAutoDownloadJob)
{
    for (const wchar_t* commandLine : {L"/context=4", L"/CONTEXT=4", L"/context= 4", L"/context=4x", L"/context=04"}) {
        TestLog().Clear();
        EXPECT_TRUE(CJobFactory::GetJobObject(commandLine)) << testing::PrintToString(std::wstring(commandLine));
        EXPECT_TRUE(TestLog().Lines().empty()) << "a selected job is not reported as bad";
    }
}

TEST(DispatchTest, SingleInstanceIsRefusedWhileHeld)
{
    HANDLE first = nullptr;
    ASSERT_TRUE(CQELCBSingleInstance::CreateInstance(first));
    ASSERT_NE(first, nullptr);

    TestLog().Clear();
    HANDLE second = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(CQELCBSingleInstance::CreateInstance(second));
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(TestLog().Has(L"Another instance of QELCommonBuild is already runnning."));

    ::CloseHandle(first);
    HANDLE again = nullptr;
    EXPECT_TRUE(CQELCBSingleInstance::CreateInstance(again)) << "closing the handle ends the ownership";
    ::CloseHandle(again);
}

TEST(DispatchTest, SecureDllLoadingIsAvailable)
{
    EXPECT_TRUE(InitializeSecureDllLoading());
}

}  // namespace
