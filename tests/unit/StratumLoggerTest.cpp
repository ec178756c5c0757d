#include "common/Platform.h"

#include "logging/Log.h"
#include "logging/StratumLogger.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Stratum::CLogger;

class RecordingHandler : public Stratum::ILoggingHandler {
public:
    void LogLine(DWORD level, const wchar_t* file, const wchar_t* function, int, const wchar_t* text) override
    {
        lines.push_back(std::to_wstring(level) + L" " + file + L"|" + function + L": " + text);
    }
    std::vector<std::wstring> lines;
};

std::wstring Id(const void* p)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

// A line "2 Logging\internal_logging|<function>: <the system's text for the code>: <message>": the
// system's text is whatever this machine has (Wine has none for 5023), but it
// never carries the line break FormatMessage ends it with.
void ExpectLine(const std::wstring& line, const wchar_t* function, const std::wstring& message)
{
    const std::wstring start = std::wstring(L"2 Logging\\internal_logging|") + function + L": ";
    const std::wstring end = L": " + message;
    EXPECT_EQ(line.rfind(start, 0), 0u) << testing::PrintToString(line);
    EXPECT_TRUE(line.size() >= end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0)
        << testing::PrintToString(line) << " should end in " << testing::PrintToString(end);
    EXPECT_EQ(line.find_first_of(L"\r\n"), std::wstring::npos) << testing::PrintToString(line);
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
    ASSERT_EQ(CLogger::RegisterHandler(&a) + CLogger::RegisterHandler(&a), 0u) << "the same handler again is fine";
    EXPECT_EQ(CLogger::RegisterHandler(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CLogger::RegisterHandler(&b), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::RegisteredHandler(), &a) << "the first handler stays";
    ASSERT_EQ(a.lines.size(), 2u);
    ExpectLine(a.lines[0], L"Stratum::CLogger::RegisterHandler", L"Cannot Register (NULL) handler");
    ExpectLine(a.lines[1], L"Stratum::CLogger::RegisterHandler",
               L"Registered Logging Handler " + Id(&a) + L" cannot be replaced with " + Id(&b));
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
    ExpectLine(b.lines[0], L"Stratum::CLogger::UnregisterHandler",
               L"Request to Unregister Logging handler " + Id(&b) + L", but none are registered");
    EXPECT_EQ(CLogger::RegisteredHandler(), nullptr);

    // Another one registered: the message goes through both, and the registered one stays.
    ASSERT_EQ(CLogger::RegisterHandler(&a), 0u);
    b.lines.clear();
    EXPECT_EQ(CLogger::UnregisterHandler(&b), static_cast<DWORD>(ERROR_INVALID_STATE));
    ASSERT_EQ(std::make_pair(a.lines.size(), b.lines.size()), std::make_pair(size_t{1}, size_t{1}));
    EXPECT_EQ(a.lines[0], b.lines[0]);
    ExpectLine(a.lines[0], L"Stratum::CLogger::UnregisterHandler",
               L"Failed to Unregister Logging handler (requested handler " + Id(&b) + L" != registered handler " +
                   Id(&a) + L")");
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
