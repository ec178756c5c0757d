#include "common/Platform.h"

#include "common/WideFormat.h"

#include <cstdio>

// mingw's C++ mode routes vswprintf to its own C99 engine, where "%s" is narrow.
// _vscwprintf/_vsnwprintf are the C runtime's own functions and keep the
// Microsoft meaning that all our formats are written for.
bool FormatWideV(std::wstring& out, const wchar_t* format, va_list args)
{
    if (!format) return false;
    va_list measure;
    va_copy(measure, args);
    const int needed = _vscwprintf(format, measure);
    va_end(measure);
    if (needed < 0) return false;
    std::wstring text(static_cast<size_t>(needed), L'\0');
    va_list print;
    va_copy(print, args);
    const int written = _vsnwprintf(text.data(), static_cast<size_t>(needed) + 1, format, print);
    va_end(print);
    if (written < 0) return false;
    text.resize(static_cast<size_t>(written));
    out.swap(text);
    return true;
}

std::wstring FormatWideUnchecked(const wchar_t* format, ...)
{
    std::wstring text;
    va_list args;
    va_start(args, format);
    FormatWideV(text, format, args);
    va_end(args);
    return text;
}
