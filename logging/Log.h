// The program-wide log call. Every function reports through QEL_LOG, which
// names the level, the source file, the qualified function and the line, and
// formats nothing unless the active logger writes that level.
#pragma once

#include "common/Platform.h"

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
// "%s" is a wide string.
void LogWrite(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
void LogWriteV(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
               va_list args);

// The second entry: exactly one argument, taken by reference, whose value is passed on.
template <typename T>
void LogWriteRef(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                 const T& value)
{
    LogWrite(level, file, function, line, format, value);
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

// Only plain values may travel through "...": a class object (a std::wstring
// instead of its c_str(), say) would be read as garbage by the formatter.
template <typename... Args>
constexpr bool AllPrintable()
{
    return ((std::is_arithmetic_v<std::decay_t<Args>> || std::is_pointer_v<std::decay_t<Args>> ||
             std::is_enum_v<std::decay_t<Args>> || std::is_null_pointer_v<std::decay_t<Args>>) && ...);
}

// Converts the compiler's narrow file name and decorated function signature
// into the wide "File.cpp" and "Class::Function" that log lines carry.
void WriteFromSite(DWORD level, const char* file, const char* prettyFunction, int line, const wchar_t* format, ...);

// "static int Ns::Class::Fn(int)" -> L"Ns::Class::Fn", written into `out` (truncated to its size).
void QualifiedFunctionName(const char* prettyFunction, wchar_t* out, size_t outChars);

template <typename... Args>
inline void Write(DWORD level, const char* file, const char* prettyFunction, int line, const wchar_t* format,
                  Args... args)
{
    static_assert(AllPrintable<Args...>(), "log arguments must be plain values: pass .c_str() for strings");
    WriteFromSite(level, file, prettyFunction, line, format, args...);
}

template <typename... Args>
inline void WriteAs(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                    Args... args)
{
    static_assert(AllPrintable<Args...>(), "log arguments must be plain values: pass .c_str() for strings");
    LogWrite(level, file, function, line, format, args...);
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
