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

TEST(DispatchTest, CommandLinesThatSelectTheAutoDownloadJobOrNone)
{
    // The exact lines of a command line without a job are checked in the entry scenario.
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"/context=7", false}, {L"/ctx=4", false}, {L"", false},
        {L"/CONTEXT=4", true},  {L"/context=04", true}, {L"/context=4x", true}};
    for (const auto& [commandLine, selected] : cases) {
        TestLog().Clear();
        EXPECT_EQ(CJobFactory::GetJobObject(commandLine) != nullptr, selected) << testing::PrintToString(commandLine);
        EXPECT_EQ(TestLog().Texts().size(), selected ? 0u : 2u) << "a selected job is not reported as bad";
    }
}

}  // namespace
