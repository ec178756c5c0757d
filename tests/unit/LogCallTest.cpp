#include "common/Platform.h"

#include "logging/Log.h"
#include "logging/LoggingIf.h"
#include "logging/StratumLogHandler.h"
#include "logging/StratumLogger.h"
#include "logging/WideFormat.h"
#include "tests/support/CaptureLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Formats through the extended interface and records the texts; LogText is never expected.
class ExtendedLogger : public ETWLogging::CLoggingIf_ex {
public:
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, DWORD) override { return 0; }
    DWORD EnsureReady() override { return ready; }
    DWORD LogText(const wchar_t*, const wchar_t*, int, DWORD, const wchar_t* t) override { return Add(L"LogText:", t); }
    BOOL IsLevelEnabled(DWORD level) override { return level >= 3; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    DWORD InitializeEx(DWORD, const wchar_t*, HMODULE, const wchar_t*, ETWLogging::CConfigurationListenerIf*) override
    {
        return 0;
    }
    DWORD LogLevelText(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*) override { return 0; }
    DWORD LogFormatV(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t* format, va_list args) override
    {
        std::wstring text;
        FormatWideV(text, format, args);
        return Add(L"", text);
    }
    DWORD Add(const std::wstring& how, const std::wstring& text) { return texts.push_back(how + text), 0; }
    DWORD ready = 0;
    std::vector<std::wstring> texts;
};

DWORD Dispatch(ETWLogging::CLoggingIf* logger, DWORD level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const DWORD rc = ETWLogging::DispatchLogV(logger, level, L"f.cpp", L"F", 1, format, args);
    va_end(args);
    return rc;
}

TEST(LogCallTest, PlainLoggersGetTextsCutAbove4160CharactersExtendedOnesFormatThemselves)
{
    const std::pair<size_t, size_t> cuts[] = {{4160, 4160}, {4161, 2080}};
    for (const auto& [length, written] : cuts) {  // the capturing test logger has the plain interface
        TestLog().Clear();
        EXPECT_EQ(Dispatch(&TestLog(), 4, L"%s", std::wstring(length, L'x').c_str()), 0u);
        const auto lines = TestLog().Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(std::make_pair(lines[0].text.size(), lines[0].level), std::make_pair(written, DWORD{4}));
    }

    ExtendedLogger extended;
    EXPECT_EQ(Dispatch(&extended, 2, L"low %d", 1), 0u);
    EXPECT_EQ(Dispatch(&extended, 4, L"error %s %d", L"code", 5), 0u);
    EXPECT_EQ(Dispatch(&extended, 4, L"%s", std::wstring(5000, L'y').c_str()), 0u);
    ASSERT_EQ(extended.texts.size(), 2u) << "only enabled levels";
    EXPECT_EQ(extended.texts[0], L"error code 5");
    EXPECT_EQ(extended.texts[1].size(), 5000u) << "no cut for the extended interface";

    EXPECT_EQ(Dispatch(nullptr, 3, L"x"), static_cast<DWORD>(ERROR_FUNCTION_FAILED));
    extended.ready = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Dispatch(&extended, 3, L"x"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(extended.texts.size(), 2u);
}

struct Reporter {
    static int Report()
    {
        QEL_LOG(LOG_WARNING, L"from a member %s", L"function");
        return __LINE__ - 1;
    }
};

TEST(LogCallTest, CallSiteAndGuard)
{
    TestLog().Clear();
    const int line = Reporter::Report();
    const CapturedLine captured = TestLog().Find(L"from a member function");
    EXPECT_EQ(std::make_pair(captured.level, captured.line), std::make_pair(DWORD{LOG_WARNING}, line));
    EXPECT_EQ(captured.file + L"|" + captured.function, L"LogCallTest.cpp|{anonymous}::Reporter::Report");

    // A suppressed level evaluates no argument; "%s" takes a wide string (Microsoft semantics).
    int evaluated = 0;
    auto argument = [&evaluated]() { return ++evaluated; };
    TestLog().SetThreshold(4);
    QEL_LOG(LOG_INFORMATION, L"suppressed %d", argument());
    QEL_LOG(LOG_ERROR, L"written %d", argument());
    TestLog().SetThreshold(1);
    EXPECT_TRUE(evaluated == 1 && TestLog().Has(L"written 1")) << evaluated;
}

TEST(LogCallTest, QualifiedFunctionNameFromCompilerSignature)
{
    const std::pair<const char*, const wchar_t*> cases[] = {
        {"static std::shared_ptr<ICBJobs> CJobFactory::GetJobObject(std::wstring)", L"CJobFactory::GetJobObject"},
        {"CQELAutoDownload::CQELAutoDownload()", L"CQELAutoDownload::CQELAutoDownload"},
        {"std::map<std::wstring, int> Pair<A, B>::Get(int) [with A = int; B = char]", L"Pair<A, B>::Get"},
        {"void CQELInstruAgent::SendEvent()::<lambda(int)>", L"CQELInstruAgent::SendEvent"},
    };
    for (const auto& [pretty, expected] : cases) {
        wchar_t out[256];
        log_site::QualifiedFunctionName(pretty, out, 256);
        EXPECT_EQ(std::wstring(out), expected) << pretty;
    }
}

TEST(LogCallTest, BaseLibraryLinesReachTheLogThroughTheBridge)
{
    ASSERT_TRUE(LogLevelEnabled(LOG_NORMAL)) << "the process logger is built on first use";
    TestLog().Clear();
    Stratum::CLogger::Log(Stratum::STRATUM_LOG_ERROR, L"base.cpp", L"Base::Fn", 3, L"base says %d", 5);
    Stratum::CLogger::Log(Stratum::STRATUM_LOG_INFO, L"base.cpp", L"Base::Fn", 4, L"base info");
    Stratum::CLogger::Log(9, L"base.cpp", L"Base::Fn", 5, L"base other");
    const CapturedLine error = TestLog().Find(L"base says 5");
    EXPECT_EQ(std::make_pair(error.level, error.function), std::make_pair(DWORD{LOG_ERROR}, std::wstring(L"Base::Fn")));
    EXPECT_EQ(TestLog().Find(L"base info").level, static_cast<DWORD>(LOG_NORMAL));
    EXPECT_EQ(TestLog().Find(L"base other").level, static_cast<DWORD>(LOG_WARNING));
    EXPECT_EQ(ETWLogging::CStratumLogHandler::MapLevel(0), static_cast<DWORD>(LOG_NORMAL));
}

}  // namespace
