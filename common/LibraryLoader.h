// The program's absolute-path library loader. Companion libraries are loaded
// only by a full path: one that names a drive, a root directory, a relative
// part and a file name. Anything else ("QELKrsIntegrate.dll", "\x.dll",
// "C:x.dll", "C:\", a share without a drive) is refused before the loader
// ever searches a folder for it.
#pragma once

#include "Platform.h"

#include <string>

// True when `path` is a full path to a file (drive, root directory, relative part, file name).
inline bool IsAbsoluteFilePath(const std::wstring& path)
{
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    const auto letter = [](wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); };
    // "X:" and the root directory, then a relative part that ends in a file name.
    return path.size() >= 4 && letter(path[0]) && path[1] == L':' && separator(path[2]) && !separator(path.back());
}

// LoadLibraryExW(path, nullptr, flags) for a full path; null with last error
// ERROR_BAD_PATHNAME for any other path.
[[nodiscard]] inline HMODULE LoadLibraryAbsolute(const std::wstring& path, DWORD flags = 0)
{
    if (!IsAbsoluteFilePath(path)) {
        ::SetLastError(ERROR_BAD_PATHNAME);
        return nullptr;
    }
    return ::LoadLibraryExW(path.c_str(), nullptr, flags);
}

// The full path of a module's file (the program's own for nullptr), however
// long it is; empty when the system cannot tell.
inline std::wstring ModuleFilePath(HMODULE module = nullptr)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) return path.substr(0, n);
        path.resize(path.size() * 2);  // truncated: try a larger buffer
    }
}

// The folder of the program's own file, with its trailing backslash; empty
// when the system cannot tell. Every companion the program starts or loads,
// and every task record that starts the program itself, is named from here.
inline std::wstring ProgramFolder()
{
    const std::wstring path = ModuleFilePath();
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}
