#include "common/Platform.h"

#include "logging/StratumLogger.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <new>

namespace Stratum {
namespace {

// Registering and unregistering happen at start and exit only; no lock.
ILoggingHandler* g_registered = nullptr;
CDefaultLoggingHandler g_defaultHandler;

constexpr const wchar_t* kInternalFile = L"Logging\\internal_logging";
constexpr const wchar_t* kRegisterFn = L"Stratum::CLogger::RegisterHandler";
constexpr const wchar_t* kUnregisterFn = L"Stratum::CLogger::UnregisterHandler";

unsigned HandlerId(const ILoggingHandler* h)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(h));
}

// The system's text for a code, without the line break FormatMessage appends.
void SystemMessage(DWORD code, wchar_t* out, DWORD outChars)
{
    out[0] = L'\0';
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, out,
                               outChars, nullptr);
    while (n > 0 && (out[n - 1] == L'\n' || out[n - 1] == L'\r' || out[n - 1] == L' ')) out[--n] = L'\0';
}

}  // namespace

void CDefaultLoggingHandler::FormatLine(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                        const wchar_t* text, wchar_t* out, size_t outChars)
{
    if (!out || outChars == 0) return;
    out[0] = L'\0';
    const wchar_t* format = nullptr;
    switch (level) {
        case STRATUM_LOG_NONE: return;
        case STRATUM_LOG_INFO: format = L"%s(%d): [INFO]: [%s]: %s\n"; break;
        case STRATUM_LOG_ERROR: format = L"%s(%d): [ERROR]: [%s]: %s\n"; break;
        default: format = L"%s(%d): [UNKNOWN]: [%s]: %s\n"; break;
    }
    _snwprintf(out, outChars - 1, format, file ? file : L"", line, function ? function : L"", text ? text : L"");
    out[outChars - 1] = L'\0';
}

void CDefaultLoggingHandler::LogLine(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                     const wchar_t* text)
{
    if (level == STRATUM_LOG_NONE) return;
    wchar_t buffer[2048];
    FormatLine(level, file, function, line, text, buffer, sizeof(buffer) / sizeof(buffer[0]));
    ::OutputDebugStringW(buffer);
}

ILoggingHandler* CLogger::RegisteredHandler() { return g_registered; }

CDefaultLoggingHandler* CLogger::DefaultHandler() { return &g_defaultHandler; }

void CLogger::LogUnchecked(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                           ...)
{
    if (!g_registered) g_registered = &g_defaultHandler;
    ILoggingHandler* handler = g_registered;
    if (!handler) return;

    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int needed = format ? _vscwprintf(format, measure) : -1;
    va_end(measure);
    wchar_t* text = needed >= 0 ? new (std::nothrow) wchar_t[static_cast<size_t>(needed) + 1] : nullptr;
    if (!text) {
        va_end(args);
        handler->LogLine(STRATUM_LOG_ERROR, file, function, line,
                         L"General memory-allocation failure in Stratum logger.");
        return;
    }
    _vsnwprintf(text, static_cast<size_t>(needed) + 1, format, args);
    text[needed] = L'\0';
    va_end(args);
    handler->LogLine(level, file, function, line, text);
    delete[] text;
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler)
{
    wchar_t reason[1024];
    if (!handler) {
        SystemMessage(ERROR_INVALID_PARAMETER, reason, 1024);
        Log(STRATUM_LOG_ERROR, kInternalFile, kRegisterFn, __LINE__, L"%s: Cannot Register (NULL) handler", reason);
        return ERROR_INVALID_PARAMETER;
    }
    if (!g_registered || g_registered == handler || g_registered == &g_defaultHandler) {
        g_registered = handler;
        return ERROR_SUCCESS;
    }
    SystemMessage(ERROR_INVALID_STATE, reason, 1024);
    Log(STRATUM_LOG_ERROR, kInternalFile, kRegisterFn, __LINE__,
        L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X", reason, HandlerId(g_registered),
        HandlerId(handler));
    return ERROR_INVALID_STATE;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler)
{
    wchar_t reason[1024];
    if (!handler) {
        SystemMessage(ERROR_INVALID_PARAMETER, reason, 1024);
        Log(STRATUM_LOG_ERROR, kInternalFile, kUnregisterFn, __LINE__, L"%s: Cannot Unregister (NULL) handler",
            reason);
        return ERROR_INVALID_PARAMETER;
    }
    SystemMessage(ERROR_INVALID_STATE, reason, 1024);
    if (!g_registered) {
        // Nobody to tell: the caller's own handler hears about its mistake.
        g_registered = handler;
        Log(STRATUM_LOG_ERROR, kInternalFile, kUnregisterFn, __LINE__,
            L"%s: Request to Unregister Logging handler 0x%08X, but none are registered", reason, HandlerId(handler));
        g_registered = nullptr;
        return ERROR_INVALID_STATE;
    }
    if (g_registered != handler) {
        ILoggingHandler* const former = g_registered;
        Log(STRATUM_LOG_ERROR, kInternalFile, kUnregisterFn, __LINE__,
            L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)",
            reason, HandlerId(handler), HandlerId(former));
        g_registered = handler;
        Log(STRATUM_LOG_ERROR, kInternalFile, kUnregisterFn, __LINE__,
            L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)",
            reason, HandlerId(handler), HandlerId(former));
        g_registered = former;
        return ERROR_INVALID_STATE;
    }
    g_registered = nullptr;
    return ERROR_SUCCESS;
}

}  // namespace Stratum
