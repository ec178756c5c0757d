#include "common/Platform.h"

#include "app/QELCommonBuild.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "logging/Log.h"
#include "logging/LoggingIf.h"
#include "logging/StratumLogger.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/LogFile.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace {

// Formats through the extended interface and records the texts.
class ExtendedLogger : public ETWLogging::CLoggingIf_ex {
public:
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, DWORD) override { return 0; }
    DWORD EnsureReady() override { return ready; }
    DWORD LogText(const wchar_t*, const wchar_t*, int, DWORD, const wchar_t* t) override { return Add(t); }
    BOOL IsLevelEnabled(DWORD level) override { return level >= 3; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    DWORD InitializeEx(DWORD, const wchar_t*, HMODULE, const wchar_t*, ETWLogging::CConfigurationListenerIf*) override
    {
        return 0;
    }
    DWORD LogLevelText(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t* t) override { return Add(t); }
    DWORD LogFormatV(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t* format, va_list args) override
    {
        std::wstring text;
        FormatWideV(text, format, args);
        return Add(text);
    }
    DWORD Add(const std::wstring& text) { return texts.push_back(text), 0; }
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
        ASSERT_EQ(TestLog().Lines().size(), 1u);
        EXPECT_EQ(TestLog().Lines()[0].text.size(), written);
    }
    ExtendedLogger extended;
    EXPECT_EQ(Dispatch(&extended, 2, L"low %d", 1) + Dispatch(&extended, 4, L"error %s %d", L"code", 5), 0u);
    EXPECT_EQ(Dispatch(&extended, 4, L"%s", std::wstring(5000, L'y').c_str()), 0u);
    EXPECT_EQ(extended.texts, (std::vector<std::wstring>{L"error code 5", std::wstring(5000, L'y')}))
        << "only enabled levels, and no cut";

    EXPECT_EQ(Dispatch(nullptr, 3, L"x"), static_cast<DWORD>(ERROR_FUNCTION_FAILED));
    extended.ready = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Dispatch(&extended, 3, L"x"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(extended.texts.size(), 2u);
}

TEST(LogCallTest, SuppressedLevelsEvaluateNoArgument)
{
    int evaluated = 0;
    auto argument = [&evaluated]() { return ++evaluated; };
    TestLog().SetThreshold(4);
    QEL_LOG(LOG_INFORMATION, L"suppressed %d", argument());
    QEL_LOG(LOG_ERROR, L"written %d", argument());
    TestLog().SetThreshold(1);
    EXPECT_TRUE(evaluated == 1 && TestLog().Has(L"written 1")) << evaluated;
}

TEST(LogCallTest, BaseLibraryLinesReachTheLogThroughTheBridge)
{
    ASSERT_TRUE(LogLevelEnabled(LOG_NORMAL)) << "the process logger is built on first use";
    const std::pair<DWORD, DWORD> levels[] = {{Stratum::STRATUM_LOG_ERROR, LOG_ERROR},
                                              {Stratum::STRATUM_LOG_INFO, LOG_NORMAL},
                                              {Stratum::STRATUM_LOG_NONE, LOG_NORMAL},
                                              {9, LOG_WARNING}};
    for (const auto& [base, level] : levels) {
        TestLog().Clear();
        Stratum::CLogger::Log(base, L"base.cpp", L"Base::Fn", 3, L"base says %d", 5);
        const CapturedLine line = TestLog().Find(L"base says 5");
        EXPECT_EQ(std::make_pair(line.level, line.function), std::make_pair(level, std::wstring(L"Base::Fn"))) << base;
    }
}

// Each failure whose line prints the thread's last error, made the first log
// call of a fresh process (tests/helpers): building the logger on that call
// (registry, files) must not change the error the line reports.
TEST(LogCallTest, TheFirstLogCallOfAProcessPrintsTheFailuresOwnError)
{
    testmachine::EnableFileLogging(L"test_helper");
    // The errors the same failing calls give, asked of the system here.
    std::vector<BYTE> blob(140, 0x41);
    ScopedCryptProv provider;
    ScopedCryptKey key;
    ASSERT_TRUE(::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    ASSERT_FALSE(::CryptImportKey(provider.Get(), blob.data(), 140, 0, 0, key.Put()));
    const int importError = static_cast<int>(::GetLastError());
    ASSERT_FALSE(ScopedHandle(::CreateMutexW(nullptr, FALSE, L"NoSuchNamespace\\QelTest")));
    const int mutexError = static_cast<int>(::GetLastError());
    // An event holding the program's mutex name makes creating the mutex fail.
    ScopedHandle squatter(::CreateEventW(nullptr, TRUE, FALSE, CQELCBSingleInstance::kMutexName));

    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"keyblob", L"Failed to import keyblob. Bad key. " + std::to_wstring(importError)},
        {L"dblock", L" DBLock / _create : createMutexForAllUser failed, err :" + std::to_wstring(mutexError)},
        {L"instance", L"Failed to Create/Open QELCommonBuild mutex. ErrorCode: 6. May be another instance of "
                      L"QELCommonBuild is already runnning."},
        {L"library", L"Failed to load KrsIntegration DLL. Error code = 126"},
        {L"notify", L"NOTIFICATION :--- FAILED Error:2"},
    };
    const std::wstring log = testmachine::LogFolder(L"test_helper") + L"\\test_helper000.log";
    for (const auto& [which, ending] : cases) {
        // Only the lines this run adds count. (Deleting the file between runs once
        // lost the next run's line on a loaded machine.)
        const size_t before = ReadLogFile(log, 0x3C).size();
        EXPECT_EQ(testmachine::RunProgram(testmachine::BinDir() + L"\\test_helper.exe", L"firstlog " + std::wstring(which))
                      .exitCode,
                  0u);
        const auto lines = ReadLogFile(log, 0x3C);
        ASSERT_GT(lines.size(), before) << which;
        const std::wstring& text = lines[before].text;
        EXPECT_TRUE(text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0)
            << testing::PrintToString(text) << " should end in " << testing::PrintToString(ending);
    }
}

}  // namespace
