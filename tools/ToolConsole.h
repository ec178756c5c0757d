// Text output of the command-line tools: wide text to a console as it is,
// and as UTF-8 when the output is redirected to a file or a pipe.
#pragma once

#include "common/Platform.h"

#include <string>

inline void WriteText(DWORD which, const std::wstring& text)
{
    const HANDLE handle = ::GetStdHandle(which);
    if (!handle || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0;
    DWORD done = 0;
    if (::GetConsoleMode(handle, &mode)) {
        ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
        return;
    }
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                              nullptr);
        ::WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &done, nullptr);
    }
}
