// The program-wide log call. Every function reports through QEL_LOG, which
// names the level, the source file, the qualified function and the line, and
// formats nothing unless the active logger writes that level.
#pragma once

#include "common/Platform.h"

#include "common/WideFormatString.h"

#include <cstdarg>
#include <type_traits>

// Levels as written into log lines. A larger number is more severe for the
// threshold test, although Warning (2) sorts below Information (3).
enum : DWORD {
    LOG_NORMAL = 1,
    LOG_WARNING = 2,
    LOG_INFORMATION = 3,
    LOG_ERROR = 4,
    LOG_CRITICAL = 5,
    LOG_INFORMATION2 = 6,
};

// "Normal", "Warning", ... for levels 1 to 6; nullptr for any other number.
const wchar_t* LogLevelName(DWORD level);

// The log call. `format` is a wide printf format with Microsoft semantics:
// "%s" is a wide string. Nothing checks a format given to LogWrite itself: the
// program calls it through QEL_LOG and QEL_LOG_AS, which check every format
// against its arguments while compiling (common/WideFormatString.h).
void LogWrite(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
void LogWriteV(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
               va_list args);

// The second entry: exactly one argument, taken by reference, whose value is passed on.
template <typename T>
void LogWriteRef(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                 WideFormatString<std::decay_t<T>> format, const T& value)
{
    LogWrite(level, file, function, line, format.Get(), value);
}

// The call-site guard: builds the process logger on first use and answers
// whether a line of this level would be written at all. The guard and the log
// call leave the thread's last error as they found it, so a line's arguments
// may read GetLastError() even on the process's first log call.
bool LogLevelEnabled(DWORD level);

// Start-up values handed to the logger when it is built (on the first log call).
// Until the entry point sets them, the group is "_no_group" and the host "_no_host".
void SetLoggerStartupValues(const wchar_t* appGroup, const wchar_t* hostName, HMODULE module, DWORD appValue,
                            DWORD backendOverride);

namespace log_site {

// Converts the compiler's narrow file name and decorated function signature
// into the wide "File.cpp" and "Class::Function" that log lines carry.
void WriteFromSite(DWORD level, const char* file, const char* prettyFunction, int line, const wchar_t* format, ...);

// "static int Ns::Class::Fn(int)" -> L"Ns::Class::Fn", written into `out` (truncated to its size).
void QualifiedFunctionName(const char* prettyFunction, wchar_t* out, size_t outChars);

// The format is checked against the arguments while compiling; a class object
// among the arguments (a std::wstring instead of its c_str(), say) is refused
// even with a RuntimeFormat.
template <typename... Args>
inline void Write(DWORD level, const char* file, const char* prettyFunction, int line,
                  WideFormatString<Args...> format, Args... args)
{
    WriteFromSite(level, file, prettyFunction, line, format.Get(), args...);
}

template <typename... Args>
inline void WriteAs(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                    WideFormatString<Args...> format, Args... args)
{
    LogWrite(level, file, function, line, format.Get(), args...);
}

}  // namespace log_site

#define QEL_LOG(level, ...)                                                                          \
    do {                                                                                             \
        if (::LogLevelEnabled(level)) {                                                              \
            ::log_site::Write((level), __FILE_NAME__, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__);   \
        }                                                                                            \
    } while (0)

// For the few lines whose source or function name is fixed by the log's readers
// rather than by where the code happens to live.
#define QEL_LOG_AS(level, fileName, functionName, ...)                                \
    do {                                                                              \
        if (::LogLevelEnabled(level)) {                                               \
            ::log_site::WriteAs((level), (fileName), (functionName), __LINE__, __VA_ARGS__); \
        }                                                                             \
    } while (0)
