// printf-style wide formatting with Microsoft semantics ("%s" is a wide string),
// as every log and message format of this program is written.
#pragma once

#include "common/Platform.h"

#include <cstdarg>
#include <string>

// Formats into `out` (replacing it). False when the format cannot be measured or printed.
bool FormatWideV(std::wstring& out, const wchar_t* format, va_list args);
std::wstring FormatWide(const wchar_t* format, ...);
