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
    } cases[] = {  // (command lines that name no job: the reliability test's hostile command lines)
        {L"/CONTEXT=2", 2, L"/context=2"}, {L"  /context=2 \t", 2, L"/context=2"}, {L"/context=2=x", 2, nullptr},
        {L"/context= 4", 4, nullptr},      {L"   ", 0, L""},
    };
    for (const auto& c : cases) {
        std::wstring copy = c.commandLine;
        EXPECT_EQ(job_dispatch::ParseContextId(copy), c.context) << testing::PrintToString(std::wstring(c.commandLine));
        EXPECT_EQ(copy, c.normalized ? c.normalized : c.commandLine);
    }
}

TEST(DispatchTest, CommandLinesThatSelectAJob)
{
    for (const wchar_t* commandLine : {L"/CONTEXT=4", L"/context=04", L"/context=4x", L"/context=5", L"/context=2"}) {
        TestLog().Clear();
        EXPECT_NE(CJobFactory::GetJobObject(commandLine), nullptr) << testing::PrintToString(commandLine);
        EXPECT_TRUE(TestLog().Texts().empty()) << "a selected job is not reported as bad";
    }
}

}  // namespace
