// printf-style wide formatting with Microsoft semantics ("%s" is a wide string),
// as every log and message format of this program is written.
#pragma once

#include "common/Platform.h"

#include "common/WideFormatString.h"

#include <cstdarg>
#include <string>

// Formats into `out` (replacing it). False when the format cannot be measured or printed.
bool FormatWideV(std::wstring& out, const wchar_t* format, va_list args);
// The format unchecked: what FormatWide runs once the compiler has checked it.
std::wstring FormatWideUnchecked(const wchar_t* format, ...);

// The format is checked against the arguments while compiling (common/WideFormatString.h).
template <typename... Args>
std::wstring FormatWide(WideFormatString<Args...> format, Args... args)
{
    return FormatWideUnchecked(format.Get(), args...);
}
