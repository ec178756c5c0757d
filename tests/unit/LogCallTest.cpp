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

struct Call {
    std::wstring how;
    DWORD level;
    std::wstring text;
};

// Records what the dispatcher hands a logger of either interface.
template <typename Interface>
class Recorder : public Interface {
public:
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, DWORD) override { return 0; }
    DWORD EnsureReady() override { return ready; }
    DWORD LogText(const wchar_t*, const wchar_t*, int, DWORD level, const wchar_t* text) override
    {
        calls.push_back({L"LogText", level, text});
        return 0;
    }
    BOOL IsLevelEnabled(DWORD level) override { return level >= threshold; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

    DWORD ready = 0;
    DWORD threshold = 1;
    std::vector<Call> calls;
};
using PlainLogger = Recorder<ETWLogging::CLoggingIf>;

class ExtendedLogger : public Recorder<ETWLogging::CLoggingIf_ex> {
public:
    DWORD InitializeEx(DWORD, const wchar_t*, HMODULE, const wchar_t*, ETWLogging::CConfigurationListenerIf*) override
    {
        return 0;
    }
    DWORD LogLevelText(DWORD level, const wchar_t*, const wchar_t*, int, const wchar_t* text) override
    {
        calls.push_back({L"LogLevelText", level, text});
        return 0;
    }
    DWORD LogFormatV(DWORD level, const wchar_t*, const wchar_t*, int, const wchar_t* format, va_list args) override
    {
        std::wstring text;
        FormatWideV(text, format, args);
        calls.push_back({L"LogFormatV", level, text});
        return 0;
    }
};

DWORD Dispatch(ETWLogging::CLoggingIf* logger, DWORD level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const DWORD rc = ETWLogging::DispatchLogV(logger, level, L"f.cpp", L"F", 1, format, args);
    va_end(args);
    return rc;
}

TEST(LogCallTest, PlainLoggerGetsTextsCutAbove4160Characters)
{
    const struct {
        size_t length;
        size_t written;
    } cases[] = {{1, 1}, {2080, 2080}, {2081, 2081}, {4160, 4160}, {4161, 2080}, {10000, 2080}};
    for (const auto& c : cases) {
        PlainLogger logger;
        const std::wstring text(c.length, L'x');
        EXPECT_EQ(Dispatch(&logger, 4, L"%s", text.c_str()), 0u);
        ASSERT_EQ(logger.calls.size(), 1u);
        EXPECT_EQ(logger.calls[0].text.size(), c.written) << "length " << c.length;
        EXPECT_EQ(logger.calls[0].level, 4u);
    }
}

TEST(LogCallTest, DispatchResults)
{
    EXPECT_EQ(Dispatch(nullptr, 3, L"x"), static_cast<DWORD>(ERROR_FUNCTION_FAILED));

    PlainLogger notReady;
    notReady.ready = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Dispatch(&notReady, 3, L"x"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(notReady.calls.empty());
}

TEST(LogCallTest, ExtendedLoggerFormatsItselfOnlyForEnabledLevels)
{
    ExtendedLogger logger;
    logger.threshold = 3;
    EXPECT_EQ(Dispatch(&logger, 2, L"low %d", 1), 0u);
    EXPECT_EQ(Dispatch(&logger, 4, L"error %s %d", L"code", 5), 0u);
    const std::wstring longText(5000, L'y');
    EXPECT_EQ(Dispatch(&logger, 4, L"%s", longText.c_str()), 0u);
    ASSERT_EQ(logger.calls.size(), 2u);
    EXPECT_EQ(logger.calls[0].how, L"LogFormatV");
    EXPECT_EQ(logger.calls[0].text, L"error code 5");
    EXPECT_EQ(logger.calls[1].text.size(), 5000u) << "no cut for the extended interface";
}

TEST(LogCallTest, GuardFormatsNothingForSuppressedLevels)
{
    int evaluated = 0;
    auto argument = [&evaluated]() {
        ++evaluated;
        return 1;
    };
    TestLog().SetThreshold(4);
    QEL_LOG(LOG_INFORMATION, L"suppressed %d", argument());
    QEL_LOG(LOG_ERROR, L"written %d", argument());
    TestLog().SetThreshold(1);
    EXPECT_EQ(evaluated, 1);
    EXPECT_FALSE(TestLog().Has(L"suppressed 1"));
    EXPECT_TRUE(TestLog().Has(L"written 1"));
}

struct Reporter {
    static int Report()
    {
        QEL_LOG(LOG_WARNING, L"from a member %s", L"function");
        return __LINE__ - 1;
    }
};

TEST(LogCallTest, CallSiteNamesFileFunctionAndLine)
{
    TestLog().Clear();
    const int line = Reporter::Report();
    const CapturedLine captured = TestLog().Find(L"from a member function");
    EXPECT_EQ(captured.level, static_cast<DWORD>(LOG_WARNING));
    EXPECT_EQ(captured.file, L"LogCallTest.cpp");
    EXPECT_EQ(captured.function, L"{anonymous}::Reporter::Report");
    EXPECT_EQ(captured.line, line);
}

TEST(LogCallTest, QualifiedFunctionNameFromCompilerSignature)
{
    const struct {
        const char* pretty;
        const wchar_t* expected;
    } cases[] = {
        {"int main()", L"main"},
        {"static std::shared_ptr<ICBJobs> CJobFactory::GetJobObject(std::wstring)", L"CJobFactory::GetJobObject"},
        {"virtual DWORD CQelJsonFormat::LoadData()", L"CQelJsonFormat::LoadData"},
        {"CQELAutoDownload::CQELAutoDownload()", L"CQELAutoDownload::CQELAutoDownload"},
        {"static DWORD Stratum::CLogger::RegisterHandler(Stratum::ILoggingHandler*)",
         L"Stratum::CLogger::RegisterHandler"},
        {"std::map<std::wstring, int> Foo<T>::Bar(int) [with T = int]", L"Foo<T>::Bar"},
        {"void CQELInstruAgent::SendEvent()::<lambda(int)>", L"CQELInstruAgent::SendEvent"},
        {"unsigned int ETWLogging::CLogging::LogText(const wchar_t*)", L"ETWLogging::CLogging::LogText"},
    };
    for (const auto& c : cases) {
        wchar_t out[256];
        log_site::QualifiedFunctionName(c.pretty, out, 256);
        EXPECT_EQ(std::wstring(out), c.expected) << c.pretty;
    }
}

TEST(LogCallTest, WideFormatHasMicrosoftSemantics)
{
    const struct {
        std::wstring actual;
        const wchar_t* expected;
    } cases[] = {
        {FormatWide(L"%s", L"wide text"), L"wide text"},
        {FormatWide(L"%d|%i", -42, 7), L"-42|7"},
        {FormatWide(L"%u|%lu", 4000000000u, 4000000001ul), L"4000000000|4000000001"},
        {FormatWide(L"%ld", -5l), L"-5"},
        {FormatWide(L"%08X", 0xBEEFu), L"0000BEEF"},
        {FormatWide(L"%hu", static_cast<unsigned short>(65535)), L"65535"},
        {FormatWide(L"%0.3lu%s", 7ul, L".log"), L"007.log"},
        {FormatWide(L"%%%lus", 15ul), L"%15s"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected);
}

TEST(LogCallTest, BaseLibraryLinesReachTheLogThroughTheBridge)
{
    ASSERT_TRUE(LogLevelEnabled(LOG_NORMAL)) << "the process logger is built on first use";
    TestLog().Clear();
    Stratum::CLogger::Log(Stratum::STRATUM_LOG_ERROR, L"base.cpp", L"Base::Fn", 3, L"base says %d", 5);
    Stratum::CLogger::Log(Stratum::STRATUM_LOG_INFO, L"base.cpp", L"Base::Fn", 4, L"base info");
    Stratum::CLogger::Log(9, L"base.cpp", L"Base::Fn", 5, L"base other");
    EXPECT_EQ(TestLog().Find(L"base says 5").level, static_cast<DWORD>(LOG_ERROR));
    EXPECT_EQ(TestLog().Find(L"base info").level, static_cast<DWORD>(LOG_NORMAL));
    EXPECT_EQ(TestLog().Find(L"base other").level, static_cast<DWORD>(LOG_WARNING));
    EXPECT_EQ(TestLog().Find(L"base says 5").function, L"Base::Fn");
    EXPECT_EQ(ETWLogging::CStratumLogHandler::MapLevel(0), static_cast<DWORD>(LOG_NORMAL));
}

}  // namespace
