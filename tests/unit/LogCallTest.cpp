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

class ExtendedLogger : public Recorder<ETWLogging::CLoggingIf_ex> {
public:
    DWORD InitializeEx(DWORD, const wchar_t*, HMODULE, const wchar_t*, ETWLogging::CConfigurationListenerIf*) override
    {
        return 0;
    }
    DWORD LogLevelText(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*) override { return 0; }
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

TEST(LogCallTest, PlainLoggersGetTextsCutAbove4160CharactersExtendedOnesFormatThemselves)
{
    const struct {
        size_t length;
        size_t written;
    } cases[] = {{1, 1}, {2081, 2081}, {4160, 4160}, {4161, 2080}, {10000, 2080}};
    for (const auto& c : cases) {
        Recorder<ETWLogging::CLoggingIf> logger;
        EXPECT_EQ(Dispatch(&logger, 4, L"%s", std::wstring(c.length, L'x').c_str()), 0u);
        ASSERT_EQ(logger.calls.size(), 1u);
        EXPECT_EQ(logger.calls[0].text.size(), c.written) << "length " << c.length;
        EXPECT_EQ(logger.calls[0].level, 4u);
    }

    ExtendedLogger extended;
    extended.threshold = 3;
    EXPECT_EQ(Dispatch(&extended, 2, L"low %d", 1), 0u);
    EXPECT_EQ(Dispatch(&extended, 4, L"error %s %d", L"code", 5), 0u);
    EXPECT_EQ(Dispatch(&extended, 4, L"%s", std::wstring(5000, L'y').c_str()), 0u);
    ASSERT_EQ(extended.calls.size(), 2u) << "only enabled levels";
    EXPECT_EQ(extended.calls[0].how, L"LogFormatV");
    EXPECT_EQ(extended.calls[0].text, L"error code 5");
    EXPECT_EQ(extended.calls[1].text.size(), 5000u) << "no cut for the extended interface";

    EXPECT_EQ(Dispatch(nullptr, 3, L"x"), static_cast<DWORD>(ERROR_FUNCTION_FAILED));
    Recorder<ETWLogging::CLoggingIf> notReady;
    notReady.ready = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Dispatch(&notReady, 3, L"x"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(notReady.calls.empty());
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
    EXPECT_EQ(captured.level, static_cast<DWORD>(LOG_WARNING));
    EXPECT_EQ(captured.file, L"LogCallTest.cpp");
    EXPECT_EQ(captured.function, L"{anonymous}::Reporter::Report");
    EXPECT_EQ(captured.line, line);

    // A suppressed level evaluates no argument and formats nothing.
    int evaluated = 0;
    auto argument = [&evaluated]() { return ++evaluated; };
    TestLog().SetThreshold(4);
    QEL_LOG(LOG_INFORMATION, L"suppressed %d", argument());
    QEL_LOG(LOG_ERROR, L"written %d", argument());
    TestLog().SetThreshold(1);
    EXPECT_EQ(evaluated, 1);
    EXPECT_FALSE(TestLog().Has(L"suppressed 1"));
    EXPECT_TRUE(TestLog().Has(L"written 1"));
}

TEST(LogCallTest, QualifiedFunctionNameFromCompilerSignature)
{
    const struct {
        const char* pretty;
        const wchar_t* expected;
    } cases[] = {
        {"int main()", L"main"},
        {"static std::shared_ptr<ICBJobs> CJobFactory::GetJobObject(std::wstring)", L"CJobFactory::GetJobObject"},
        {"CQELAutoDownload::CQELAutoDownload()", L"CQELAutoDownload::CQELAutoDownload"},
        {"static DWORD Stratum::CLogger::RegisterHandler(Stratum::ILoggingHandler*)",
         L"Stratum::CLogger::RegisterHandler"},
        {"std::map<std::wstring, int> Pair<A, B>::Get(int) [with A = int; B = char]", L"Pair<A, B>::Get"},
        {"void CQELInstruAgent::SendEvent()::<lambda(int)>", L"CQELInstruAgent::SendEvent"},
    };
    for (const auto& c : cases) {
        wchar_t out[256];
        log_site::QualifiedFunctionName(c.pretty, out, 256);
        EXPECT_EQ(std::wstring(out), c.expected) << c.pretty;
    }
}

TEST(LogCallTest, WideFormatHasMicrosoftSemantics)
{
    EXPECT_EQ(FormatWide(L"%s|%d|%i", L"wide text", -42, 7), L"wide text|-42|7");
    EXPECT_EQ(FormatWide(L"%u|%lu|%ld", 4000000000u, 4000000001ul, -5l), L"4000000000|4000000001|-5");
    EXPECT_EQ(FormatWide(L"%08X|%hu", 0xBEEFu, static_cast<unsigned short>(65535)), L"0000BEEF|65535");
    EXPECT_EQ(FormatWide(L"%0.3lu%s", 7ul, L".log"), L"007.log");
    EXPECT_EQ(FormatWide(L"%%%lus", 15ul), L"%15s");
}

TEST(LogCallTest, BaseLibraryLinesReachTheLogThroughTheBridge)
{
    ASSERT_TRUE(LogLevelEnabled(LOG_NORMAL)) << "the process logger is built on first use";
    TestLog().Clear();
    Stratum::CLogger::Log(Stratum::STRATUM_LOG_ERROR, L"base.cpp", L"Base::Fn", 3, L"base says %d", 5);
    Stratum::CLogger::Log(Stratum::STRATUM_LOG_INFO, L"base.cpp", L"Base::Fn", 4, L"base info");
    Stratum::CLogger::Log(9, L"base.cpp", L"Base::Fn", 5, L"base other");
    EXPECT_EQ(TestLog().Find(L"base says 5").level, static_cast<DWORD>(LOG_ERROR));
    EXPECT_EQ(TestLog().Find(L"base says 5").function, L"Base::Fn");
    EXPECT_EQ(TestLog().Find(L"base info").level, static_cast<DWORD>(LOG_NORMAL));
    EXPECT_EQ(TestLog().Find(L"base other").level, static_cast<DWORD>(LOG_WARNING));
    EXPECT_EQ(ETWLogging::CStratumLogHandler::MapLevel(0), static_cast<DWORD>(LOG_NORMAL));
}

}  // namespace
