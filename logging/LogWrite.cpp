#include "common/Platform.h"

#include "common/WideFormat.h"
#include "logging/Log.h"
#include "logging/LoggingIf.h"
#include "logging/StratumLogger.h"
#include "logging/StratumLogHandler.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

struct StartupValues {
    const wchar_t* group = L"_no_group";
    const wchar_t* host = L"_no_host";
    HMODULE module = nullptr;
    DWORD appValue = 0;
    DWORD backendOverride = 0;
};
StartupValues g_startup;

// The process-wide logger slot: the active logger (owned, null when building
// failed) and the bridge handler registered with the base library's logger.
struct LoggerSlot {
    ETWLogging::CLoggingIf* logger = nullptr;
    Stratum::ILoggingHandler* bridge = nullptr;
};

std::atomic<LoggerSlot*> g_slot{nullptr};
std::atomic<bool> g_slotBuilt{false};
std::atomic<DWORD> g_buildingThread{0};
std::mutex g_buildMutex;

ETWLogging::CLogBuilderIf* g_builder = nullptr;
bool g_builderOwned = false;

// A log call leaves the thread's last error as it found it. A line that prints
// GetLastError() reads it after the guard, which builds the logger on the
// first call (registry, files); and a caller that logs a failure and then
// returns GetLastError() still returns its own error.
class KeepLastError {
public:
    KeepLastError() : m_error(::GetLastError()) {}
    ~KeepLastError() { ::SetLastError(m_error); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    const DWORD m_error;
};

void DestroySlotAtExit()
{
    LoggerSlot* slot = g_slot.exchange(nullptr);
    if (slot) {
        if (slot->bridge) Stratum::CLogger::UnregisterHandler(slot->bridge);
        if (slot->logger) slot->logger->Release();
        delete slot;
    }
    if (g_builderOwned) {
        delete g_builder;
        g_builder = nullptr;
        g_builderOwned = false;
    }
}

void BuildSlot()
{
    auto* slot = new LoggerSlot;
    g_slot.store(slot);  // published first: a log call made while building finds no logger and does nothing

    if (!g_builder) {
        g_builder = new ETWLogging::CDefaultLogBuilder;
        g_builderOwned = true;
    }
    ETWLogging::CLoggingIf* logger = nullptr;
    bool built = false;
    if (auto* extended = dynamic_cast<ETWLogging::CLogBuilderIf_ex*>(g_builder)) {
        built = extended->BuildLogger(g_startup.appValue, g_startup.group, g_startup.module, g_startup.host,
                                      g_startup.backendOverride, &logger, nullptr);
    }
    if (!built) {
        built = g_builder->Build(g_startup.group, g_startup.module, g_startup.host, g_startup.backendOverride,
                                 &logger);
    }
    slot->logger = built ? logger : nullptr;

    static ETWLogging::CStratumLogHandler bridge;
    if (Stratum::CLogger::RegisterHandler(&bridge) == ERROR_SUCCESS) {
        if (slot->bridge && slot->bridge != &bridge) Stratum::CLogger::UnregisterHandler(slot->bridge);
        slot->bridge = &bridge;
    }
    std::atexit(DestroySlotAtExit);
}

// Once per process; a second thread waits for the first, and a log call made
// by the building thread itself sees the published, still empty slot.
LoggerSlot* AcquireSlot()
{
    if (g_slotBuilt.load(std::memory_order_acquire)) return g_slot.load(std::memory_order_acquire);
    if (g_buildingThread.load() == ::GetCurrentThreadId()) return g_slot.load();
    std::lock_guard<std::mutex> lock(g_buildMutex);
    if (!g_slotBuilt.load()) {
        g_buildingThread.store(::GetCurrentThreadId());
        BuildSlot();
        g_buildingThread.store(0);
        g_slotBuilt.store(true, std::memory_order_release);
    }
    return g_slot.load(std::memory_order_acquire);
}

}  // namespace

const wchar_t* LogLevelName(DWORD level)
{
    static const wchar_t* const kNames[] = {L"Normal", L"Warning", L"Information",
                                            L"Error",  L"Critical", L"Information"};
    return (level >= 1 && level <= 6) ? kNames[level - 1] : nullptr;
}

void SetLoggerStartupValues(const wchar_t* appGroup, const wchar_t* hostName, HMODULE module, DWORD appValue,
                            DWORD backendOverride)
{
    g_startup.group = appGroup;
    g_startup.host = hostName;
    g_startup.module = module;
    g_startup.appValue = appValue;
    g_startup.backendOverride = backendOverride;
}

bool LogLevelEnabled(DWORD level)
{
    const KeepLastError keep;
    LoggerSlot* slot = AcquireSlot();
    return slot && slot->logger && slot->logger->IsLevelEnabled(level);
}

void LogWriteV(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
               va_list args)
{
    const KeepLastError keep;
    LoggerSlot* slot = AcquireSlot();
    if (!slot) return;
    // A log call has no result: a line the logger cannot take is lost.
    static_cast<void>(ETWLogging::DispatchLogV(slot->logger, level, file, function, line, format, args));
}

void LogWrite(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogWriteV(level, file, function, line, format, args);
    va_end(args);
}

namespace ETWLogging {

void UseLogBuilder(CLogBuilderIf* builder)
{
    if (g_builderOwned) delete g_builder;
    g_builder = builder;
    g_builderOwned = false;
}

CLoggingIf* ActiveLogger()
{
    LoggerSlot* slot = g_slot.load(std::memory_order_acquire);
    return slot ? slot->logger : nullptr;
}

DWORD DispatchLogV(CLoggingIf* logger, DWORD level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* format, va_list args)
{
    if (!logger) return ERROR_FUNCTION_FAILED;
    const DWORD ready = logger->EnsureReady();
    if (ready != ERROR_SUCCESS) return ready;

    auto* extended = dynamic_cast<CLoggingIf_ex*>(logger);
    if (extended) {
        if (extended->IsLevelEnabled(level)) extended->LogFormatV(level, file, function, line, format, args);
        return ERROR_SUCCESS;
    }
    std::wstring text;
    FormatWideV(text, format, args);
    if (text.size() > kMaxTextChars) text.resize(kTruncatedChars);
    return logger->LogText(file, function, line, level, text.c_str());
}

}  // namespace ETWLogging

namespace log_site {

void QualifiedFunctionName(const char* pretty, wchar_t* out, size_t outChars)
{
    if (!out || outChars == 0) return;
    out[0] = L'\0';
    if (!pretty) return;
    // The parameter list opens at the first "(" outside template brackets.
    size_t open = 0;
    int depth = 0;
    bool found = false;
    for (size_t i = 0; pretty[i]; ++i) {
        const char c = pretty[i];
        if (c == '<') ++depth;
        else if (c == '>' && depth > 0) --depth;
        else if (c == '(' && depth == 0) {
            open = i;
            found = true;
            break;
        }
    }
    if (!found) {
        size_t n = 0;
        for (; pretty[n] && n + 1 < outChars; ++n) out[n] = static_cast<unsigned char>(pretty[n]);
        out[n] = L'\0';
        return;
    }
    // The name starts after the last blank (outside brackets) before it.
    size_t start = open;
    depth = 0;
    while (start > 0) {
        const char c = pretty[start - 1];
        if (c == '>') ++depth;
        else if (c == '<' && depth > 0) --depth;
        else if (c == ' ' && depth == 0) break;
        --start;
    }
    size_t n = 0;
    for (size_t i = start; i < open && n + 1 < outChars; ++i) out[n++] = static_cast<unsigned char>(pretty[i]);
    out[n] = L'\0';
}

void WriteFromSite(DWORD level, const char* file, const char* prettyFunction, int line, const wchar_t* format, ...)
{
    wchar_t wideFile[MAX_PATH];
    size_t n = 0;
    for (; file && file[n] && n + 1 < MAX_PATH; ++n) wideFile[n] = static_cast<unsigned char>(file[n]);
    wideFile[n] = L'\0';
    wchar_t function[256];
    QualifiedFunctionName(prettyFunction, function, 256);

    va_list args;
    va_start(args, format);
    LogWriteV(level, wideFile, function, line, format, args);
    va_end(args);
}

}  // namespace log_site
