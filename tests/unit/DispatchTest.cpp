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
        const wchar_t* normalized;  // nullptr: the command line as given
    } cases[] = {
        {L"/CONTEXT=2", 2, L"/context=2"}, {L"  /context=2 \t", 2, L"/context=2"}, {L"/context=2=x", 2, nullptr},
        {L"/context= 4", 4, nullptr},      {L"/context=-3", -3, nullptr},           {L"/context", 0, nullptr},
        {L"/context=abc", 0, nullptr},     {L"/ctx=2", 0, nullptr},                 {L"/context:2", 0, nullptr},
        {L"/context =2", 0, nullptr},      {L"", 0, nullptr},                       {L"   ", 0, L""},
    };
    for (const auto& c : cases) {
        std::wstring copy = c.commandLine;
        EXPECT_EQ(job_dispatch::ParseContextId(copy), c.context) << testing::PrintToString(std::wstring(c.commandLine));
        EXPECT_EQ(copy, c.normalized ? c.normalized : c.commandLine);
    }
}

TEST(DispatchTest, OnlyContextFourSelectsAJob)
{
    // The exact lines of a command line without a job are checked in the entry scenario.
    for (const wchar_t* commandLine : {L"/context=5", L"/ctx=4", L""}) {
        TestLog().Clear();
        EXPECT_FALSE(CJobFactory::GetJobObject(commandLine)) << testing::PrintToString(std::wstring(commandLine));
        EXPECT_EQ(TestLog().Texts().size(), 2u);
    }
    for (const wchar_t* commandLine : {L"/CONTEXT=4", L"/context=04", L"/context=4x"}) {
        TestLog().Clear();
        EXPECT_TRUE(CJobFactory::GetJobObject(commandLine)) << testing::PrintToString(std::wstring(commandLine));
        EXPECT_TRUE(TestLog().Lines().empty()) << "a selected job is not reported as bad";
    }
}

TEST(DispatchTest, SingleInstanceIsRefusedWhileHeld)
{
    EXPECT_TRUE(InitializeSecureDllLoading());
    HANDLE first = nullptr;
    ASSERT_TRUE(CQELCBSingleInstance::CreateInstance(first));
    ASSERT_NE(first, nullptr);
    HANDLE second = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(CQELCBSingleInstance::CreateInstance(second));
    EXPECT_EQ(second, nullptr);
    ::CloseHandle(first);
    EXPECT_TRUE(CQELCBSingleInstance::CreateInstance(first)) << "closing the handle ends the ownership";
    ::CloseHandle(first);
}

}  // namespace
