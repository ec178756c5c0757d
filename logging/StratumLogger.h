// The base library's own small logger: one process-wide handler pointer that
// the job runner points at its bridge, so base-library messages reach the same
// log as everything else. Base levels: 0 nothing, 1 info, 2 error.
#pragma once

#include "common/Platform.h"

#include "common/WideFormatString.h"

namespace Stratum {

class ILoggingHandler {
public:
    virtual void LogLine(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* text) = 0;

protected:
    ~ILoggingHandler() = default;
};

// Writes each line to the debugger output.
class CDefaultLoggingHandler : public ILoggingHandler {
public:
    void LogLine(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text) override;
    // The line as it goes to the debugger; empty for level 0.
    static void FormatLine(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text,
                           wchar_t* out, size_t outChars);
};

enum : DWORD { STRATUM_LOG_NONE = 0, STRATUM_LOG_INFO = 1, STRATUM_LOG_ERROR = 2 };

class CLogger {
public:
    // 0; 87 for null; 5023 when another (non-default) handler is registered.
    static DWORD RegisterHandler(ILoggingHandler* handler);
    // 0; 87 for null; 5023 when nothing or another handler is registered.
    static DWORD UnregisterHandler(ILoggingHandler* handler);
    // Formats and hands the text to the registered handler (the default one if none).
    // The format is checked against the arguments while compiling (common/WideFormatString.h).
    template <typename... Args>
    static void Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                    WideFormatString<Args...> format, Args... args)
    {
        LogUnchecked(level, file, function, line, format.Get(), args...);
    }

    static ILoggingHandler* RegisteredHandler();
    static CDefaultLoggingHandler* DefaultHandler();

private:
    static void LogUnchecked(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* format, ...);
};

}  // namespace Stratum
