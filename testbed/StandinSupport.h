// What every stand-in shares: where its knobs and journal live, reading a
// knob, and appending one line to a journal. Stand-ins read their knobs on
// every call, so a test can change them between calls.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <string>

namespace standin {

// Knob keys, under HKEY_LOCAL_MACHINE (native view).
inline constexpr wchar_t kTelemetryKey[] = L"SOFTWARE\\Tarsen\\Testbed\\Telemetry";
inline constexpr wchar_t kKrsIntegrateKey[] = L"SOFTWARE\\Tarsen\\Testbed\\KrsIntegrate";
inline constexpr wchar_t kTsGuardKey[] = L"SOFTWARE\\Tarsen\\Testbed\\TsGuard";
inline constexpr wchar_t kSessionsKey[] = L"SOFTWARE\\Tarsen\\Testbed\\Sessions";
// A companion's knobs: this key followed by the name of its file without extension.
inline constexpr wchar_t kTestbedKey[] = L"SOFTWARE\\Tarsen\\Testbed\\";
// Every stand-in's journal path can be moved by this REG_SZ knob.
inline constexpr wchar_t kJournalPathValue[] = L"JournalPath";
// Default journals, below the program-data folder.
inline constexpr wchar_t kTelemetryJournal[] = L"Tarsen\\Testbed\\telemetry.journal";
inline constexpr wchar_t kKrsIntegrateJournal[] = L"Tarsen\\Testbed\\krsintegrate.journal";
inline constexpr wchar_t kTsGuardJournal[] = L"Tarsen\\Testbed\\tsguard.journal";
inline constexpr wchar_t kSessionsJournal[] = L"Tarsen\\Testbed\\sessions.journal";
// A companion's journal: this folder, the name of its file without extension, ".journal".
inline constexpr wchar_t kJournalFolder[] = L"Tarsen\\Testbed\\";

inline bool ReadKnobDword(const wchar_t* key, const wchar_t* name, DWORD& value)
{
    DWORD bytes = sizeof(value);
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) ==
           ERROR_SUCCESS;
}

inline DWORD KnobDword(const wchar_t* key, const wchar_t* name, DWORD defaultValue)
{
    DWORD value = 0;
    return ReadKnobDword(key, name, value) ? value : defaultValue;
}

inline std::wstring ProgramDataPath(const wchar_t* relative)
{
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder))) {
        path = std::wstring(folder) + L"\\" + relative;
    }
    ::CoTaskMemFree(folder);
    return path;
}

// The journal path: the "JournalPath" knob, else the default below program data.
inline std::wstring JournalPath(const wchar_t* knobKey, const wchar_t* defaultRelative)
{
    wchar_t buffer[MAX_PATH];
    DWORD bytes = sizeof(buffer);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, knobKey, kJournalPathValue, RRF_RT_REG_SZ, nullptr, buffer, &bytes) ==
            ERROR_SUCCESS &&
        buffer[0] != L'\0') {
        return buffer;
    }
    return ProgramDataPath(defaultRelative);
}

// Appends the bytes in one write, creating the file and its folder when missing.
inline bool AppendJournal(const std::wstring& path, const void* data, DWORD bytes)
{
    const size_t slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos) ::SHCreateDirectoryExW(nullptr, path.substr(0, slash).c_str(), nullptr);
    ScopedHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.Get(), data, bytes, &written, nullptr) && written == bytes;
}

}  // namespace standin
