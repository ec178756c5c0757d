#include "common/Platform.h"

#include "logging/Log.h"
#include "logging/StratumLogger.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Stratum::CLogger;

struct Line {
    DWORD level;
    std::wstring file, function, text;
};

class RecordingHandler : public Stratum::ILoggingHandler {
public:
    void LogLine(DWORD level, const wchar_t* file, const wchar_t* function, int, const wchar_t* text) override
    {
        lines.push_back({level, file, function, text});
    }
    std::vector<Line> lines;
};

// "<system text of 87 or 5023>: <rest>", with handler addresses as 0x%08X.
std::wstring Expected(DWORD code, const std::wstring& rest)
{
    wchar_t text[1024] = L"";
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                               1024, nullptr);
    while (n > 0 && (text[n - 1] == L'\n' || text[n - 1] == L'\r' || text[n - 1] == L' ')) text[--n] = L'\0';
    return text + (L": " + rest);
}

std::wstring Id(const void* p)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

// The process's bridge handler is taken out for the time of each test and put back after.
class StratumLoggerTest : public testing::Test {
protected:
    void SetUp() override
    {
        LogLevelEnabled(LOG_NORMAL);  // the bridge is registered when the process logger is built
        bridge = CLogger::RegisteredHandler();
        ASSERT_EQ(bridge ? CLogger::UnregisterHandler(bridge) : 0u, 0u);
    }
    void TearDown() override
    {
        while (CLogger::RegisteredHandler()) CLogger::UnregisterHandler(CLogger::RegisteredHandler());
        if (bridge) CLogger::RegisterHandler(bridge);
    }
    Stratum::ILoggingHandler* bridge = nullptr;
    RecordingHandler a, b;
};

TEST_F(StratumLoggerTest, RegisterRules)
{
    // The default handler is registered on demand and gives way to a real one.
    CLogger::Log(Stratum::STRATUM_LOG_INFO, L"f", L"F", 1, L"to the debugger");
    EXPECT_EQ(CLogger::RegisteredHandler(), CLogger::DefaultHandler());
    ASSERT_EQ(CLogger::RegisterHandler(&a), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&a), 0u) << "registering the same handler again";

    EXPECT_EQ(CLogger::RegisterHandler(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CLogger::RegisterHandler(&b), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::RegisteredHandler(), &a) << "the first handler stays";
    ASSERT_EQ(a.lines.size(), 2u);
    EXPECT_EQ(a.lines[0].text, Expected(87, L"Cannot Register (NULL) handler"));
    EXPECT_EQ(a.lines[0].level, static_cast<DWORD>(Stratum::STRATUM_LOG_ERROR));
    EXPECT_EQ(a.lines[0].file, L"Logging\\internal_logging");
    EXPECT_EQ(a.lines[0].function, L"Stratum::CLogger::RegisterHandler");
    EXPECT_EQ(a.lines[1].text,
              Expected(5023, L"Registered Logging Handler " + Id(&a) + L" cannot be replaced with " + Id(&b)));
    EXPECT_TRUE(b.lines.empty());
}

TEST_F(StratumLoggerTest, UnregisterRules)
{
    EXPECT_EQ(CLogger::UnregisterHandler(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // That message registered the default handler on demand; take it out again.
    ASSERT_EQ(CLogger::UnregisterHandler(CLogger::DefaultHandler()), 0u);

    // Nothing registered: the requester hears about it, and nothing stays registered.
    EXPECT_EQ(CLogger::UnregisterHandler(&b), static_cast<DWORD>(ERROR_INVALID_STATE));
    ASSERT_EQ(b.lines.size(), 1u);
    EXPECT_EQ(b.lines[0].text,
              Expected(5023, L"Request to Unregister Logging handler " + Id(&b) + L", but none are registered"));
    EXPECT_EQ(CLogger::RegisteredHandler(), nullptr);

    // Another one registered: the message goes through both, and the registered one stays.
    ASSERT_EQ(CLogger::RegisterHandler(&a), 0u);
    b.lines.clear();
    EXPECT_EQ(CLogger::UnregisterHandler(&b), static_cast<DWORD>(ERROR_INVALID_STATE));
    const std::wstring expected = Expected(5023, L"Failed to Unregister Logging handler (requested handler " + Id(&b) +
                                                     L" != registered handler " + Id(&a) + L")");
    ASSERT_EQ(std::make_pair(a.lines.size(), b.lines.size()), std::make_pair(size_t{1}, size_t{1}));
    EXPECT_EQ(a.lines[0].text + b.lines[0].text, expected + expected);
    EXPECT_EQ(a.lines[0].function, L"Stratum::CLogger::UnregisterHandler");
    EXPECT_EQ(CLogger::UnregisterHandler(&a), 0u);
    EXPECT_EQ(CLogger::RegisteredHandler(), nullptr);
}

TEST(StratumDefaultHandlerTest, DebuggerLineLayout)
{
    const std::pair<DWORD, const wchar_t*> cases[] = {{0, L""},
                                                      {1, L"base.cpp(12): [INFO]: [Base::Fn]: hello\n"},
                                                      {2, L"base.cpp(12): [ERROR]: [Base::Fn]: hello\n"},
                                                      {7, L"base.cpp(12): [UNKNOWN]: [Base::Fn]: hello\n"}};
    for (const auto& [level, expected] : cases) {
        wchar_t out[256];
        Stratum::CDefaultLoggingHandler::FormatLine(level, L"base.cpp", L"Base::Fn", 12, L"hello", out, 256);
        EXPECT_STREQ(out, expected) << "level " << level;
    }
}

}  // namespace
