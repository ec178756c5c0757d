// The base library's reader of "log.ini" files. Values may be stored
// scrambled by the base library (74 characters beginning with "54535247");
// this build reads plain values only and reports a scrambled one as absent.
#pragma once

#include "common/Platform.h"

#include "logging/IniNumber.h"

#include <string>

namespace Stratum {

class CBaseIniReader {
public:
    explicit CBaseIniReader(std::wstring path) : m_path(std::move(path)) {}
    virtual ~CBaseIniReader() = default;

    bool FileExists() const;
    // True and `value` set when the key is present in the section.
    [[nodiscard]] virtual bool ReadString(const wchar_t* section, const wchar_t* key, std::wstring& value) const;
    // True when present and a number: decimal, or hexadecimal with a "0x" prefix.
    [[nodiscard]] bool ReadNumber(const wchar_t* section, const wchar_t* key, DWORD& value) const;
    [[nodiscard]] bool WriteString(const wchar_t* section, const wchar_t* key, const std::wstring& value) const;

    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

class CObfuscatedIniReader : public CBaseIniReader {
public:
    using CBaseIniReader::CBaseIniReader;
    [[nodiscard]] bool ReadString(const wchar_t* section, const wchar_t* key, std::wstring& value) const override;
    static bool IsScrambled(const std::wstring& value);
};

}  // namespace Stratum
