#include "common/Platform.h"

#include "logging/ETWLogging.h"
#include "logging/Logging.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using namespace ETWLogging;

// Packed fields as little-endian 16-bit units: a 32-bit number is two, a string its length and its characters.
std::wstring N(DWORD v) { return {static_cast<wchar_t>(v & 0xFFFF), static_cast<wchar_t>(v >> 16)}; }
std::wstring S(const std::wstring& s) { return static_cast<wchar_t>(s.size()) + s; }

TEST(EtwLoggingTest, PackedFieldAndEventLayout)
{
    const EtwEventSource source{0x1234, 0x56, L"QEL\\QELCommonBuild", L"QELCommonBuild.cpp", L"wWinMain", 130,
                                L"040904b0", L"1.0.0.0", L""};
    // The source's fields in order, then the message's length (12).
    const std::wstring units = N(0x1234) + N(0x56) + S(L"QEL\\QELCommonBuild") + S(L"QELCommonBuild.cpp") +
                               S(L"wWinMain") + N(130) + S(L"040904b0") + S(L"1.0.0.0") + S(L"") + N(12);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(units.data());
    const std::vector<BYTE> expected(bytes, bytes + units.size() * sizeof(wchar_t));
    EtwEventRecord record;
    BuildEtwEvent(source, 6, L"message text", record);
    EXPECT_EQ(record.packed, expected);

    const auto& e = record.event;
    EXPECT_EQ(std::make_tuple(e.header.Size, e.header.Class.Type, e.header.Class.Level, e.header.Class.Version,
                              e.header.Flags),
              std::make_tuple(USHORT{0x50}, UCHAR{1}, UCHAR{3}, USHORT{2}, ULONG{0x120000}));  // level 6 written as 3
    EXPECT_TRUE(IsEqualGUID(e.header.Guid, internal::kEventClassGuid));
    EXPECT_EQ(std::make_pair(e.fields[0].DataPtr, ULONG64{e.fields[0].Length}),
              std::make_pair(reinterpret_cast<ULONG64>(record.packed.data()), ULONG64{record.packed.size()}));
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(e.fields[1].DataPtr)), L"message text");
    EXPECT_EQ(e.fields[1].Length, (12u + 1u) * sizeof(wchar_t));
}

TEST(EtwLoggingTest, BackendChoice)
{
    // Only "Logging Mechanism" 1, or the caller's override 1, means the file; the builder builds that back end.
    const std::wstring key = L"SOFTWARE\\Tarsen\\Logging";
    const struct {
        bool set;  // "Logging Mechanism" written as value
        DWORD value, backendOverride, file;
    } cases[] = {{false, 0, 0, 0}, {true, 0, 0, 0}, {true, 1, 0, 1}, {true, 2, 0, 0}, {true, 2, 1, 1}};
    for (const auto& c : cases) {
        testmachine::DeleteTree(key);
        if (c.set) testmachine::SetDword(key, L"Logging Mechanism", c.value);
        CDefaultLogBuilder builder;
        CLoggingIf* logger = nullptr;
        ASSERT_TRUE(builder.BuildLogger(0, L"QEL", nullptr, nullptr, c.backendOverride, &logger, nullptr)) << c.value;
        EXPECT_EQ(dynamic_cast<CLogging*>(logger) != nullptr, c.file != 0) << c.value << " " << c.backendOverride;
        EXPECT_EQ(dynamic_cast<CETWLogging*>(logger) != nullptr, c.file == 0) << c.value << " " << c.backendOverride;
        logger->Release();
    }
    testmachine::DeleteTree(key);
}

// The levels (1 to 6) a line is written at, after a session's say and the registry's.
std::wstring Written(CETWLogging& logger)
{
    std::wstring levels;
    for (DWORD level = 1; level <= 6; ++level) {
        if (logger.IsEnabled() && logger.IsLevelEnabled(level)) levels += std::to_wstring(level);
    }
    return levels;
}

TEST(EtwLoggingTest, SessionsAndRegistryDecideWhatIsWritten)
{
    const std::wstring base = L"SOFTWARE\\Tarsen.logging";
    const struct {
        const char* name;
        bool enable;
        DWORD sessionLevel;
        DWORD baseSeverity, groupSeverity, appEnable;  // 99: not in the registry
        const wchar_t* written;
    } cases[] = {
        {"a session at level 5: Information still passes", true, 5, 99, 99, 99, L"356"},
        {"a session at level 1", true, 1, 99, 99, 99, L"123456"},
        {"the group's key beats the base key", true, 1, 2, 4, 99, L"3456"},
        {"the application's key switches it off", true, 1, 99, 99, 0, L""},
        {"a disabling session", false, 1, 99, 99, 99, L""},
        {"the application's key re-enables after a disable", false, 1, 99, 99, 1, L"3456"},
    };
    for (const auto& c : cases) {
        testmachine::DeleteTree(base);
        if (c.baseSeverity != 99) testmachine::SetDword(base, L"Severity", c.baseSeverity);
        if (c.groupSeverity != 99) testmachine::SetDword(base + L"\\QEL", L"Severity", c.groupSeverity);
        if (c.appEnable != 99) testmachine::SetDword(base + L"\\unit_logging", L"Enable", c.appEnable);
        CETWLogging logger;
        ASSERT_EQ(logger.Initialize(L"QEL", nullptr, nullptr, 0), 0u);
        CETWConfigurationListener(logger).OnSessionChange(c.enable, c.sessionLevel, 0);
        EXPECT_EQ(Written(logger), c.written) << c.name;
    }
    testmachine::DeleteTree(base);
}

TEST(EtwLoggingTest, OnlyTheKeptSessionTakesTheEventsAwayWhenItDisables)
{
    CETWLogging logger;
    ASSERT_EQ(logger.Initialize(L"QEL", nullptr, nullptr, 0), 0u);
    EXPECT_EQ(logger.Initialize(L"QEL", nullptr, nullptr, 0), CETWLogging::kErrorAlreadyInitialized);
    const TRACEHANDLE first = 0x1111, second = 0x2222;
    const std::tuple<WMIDPREQUESTCODE, TRACEHANDLE, TRACEHANDLE> steps[] = {
        // request, the session that sends it, the session the events go to afterwards
        {WMI_ENABLE_EVENTS, first, first},  {WMI_ENABLE_EVENTS, second, first}, {WMI_DISABLE_EVENTS, second, first},
        {WMI_DISABLE_EVENTS, first, 0},     {WMI_ENABLE_EVENTS, second, second},
    };
    for (const auto& [code, session, kept] : steps) {
        EXPECT_EQ(logger.OnControl(code, session), 0u);
        EXPECT_EQ(logger.Session(), kept) << "after request " << code << " of session " << session;
    }
    EXPECT_EQ(logger.OnControl(static_cast<WMIDPREQUESTCODE>(99), first), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    logger.EnsureReady();
    EXPECT_EQ(logger.EnsureReady(), 0u) << "registration is tried once; a failure costs one line only";
}

// (Of the properties the back end reads, only the provider is used.)
TEST(EtwLoggingTest, ProviderDefaultAndOverride)
{
    testmachine::DeleteTree(L"SOFTWARE\\Tarsen\\Logging");
    internal::ETWAppProperties defaults;
    defaults.Read();
    EXPECT_TRUE(IsEqualGUID(defaults.providerGuid, internal::kDefaultProviderGuid));

    testmachine::SetString(L"SOFTWARE\\Tarsen\\Logging\\Provider", L"Provider Guid",
                           L"{11111111-2222-3333-4444-555555555555}");
    internal::ETWAppProperties read;
    read.Read();
    EXPECT_EQ(read.providerGuid.Data1, 0x11111111ul);
    testmachine::DeleteTree(L"SOFTWARE\\Tarsen\\Logging");
}

}  // namespace
