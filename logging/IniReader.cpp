#include "common/Platform.h"

#include "logging/IniReader.h"

#include <shlwapi.h>

#include <cstdint>
#include <cwchar>
#include <vector>

namespace Stratum {

bool CBaseIniReader::FileExists() const { return ::PathFileExistsW(m_path.c_str()) != FALSE; }

bool CBaseIniReader::ReadString(const wchar_t* section, const wchar_t* key, std::wstring& value) const
{
    // A default that no real value can equal tells "absent" from "empty".
    static const wchar_t kAbsent[] = L"\x01\x02<absent>";
    std::vector<wchar_t> buffer(1024);
    for (;;) {
        const DWORD n = ::GetPrivateProfileStringW(section, key, kAbsent, buffer.data(),
                                                   static_cast<DWORD>(buffer.size()), m_path.c_str());
        if (n + 1 < buffer.size() || buffer.size() >= 65536) {
            if (wcscmp(buffer.data(), kAbsent) == 0) return false;
            value.assign(buffer.data(), n);
            return true;
        }
        buffer.resize(buffer.size() * 4);
    }
}

bool CBaseIniReader::ReadNumber(const wchar_t* section, const wchar_t* key, DWORD& value) const
{
    std::wstring text;
    std::uint32_t number = 0;
    if (!ReadString(section, key, text) || !ParseIniNumber(text, number)) return false;
    value = number;
    return true;
}

bool CBaseIniReader::WriteString(const wchar_t* section, const wchar_t* key, const std::wstring& value) const
{
    return ::WritePrivateProfileStringW(section, key, value.c_str(), m_path.c_str()) != FALSE;
}

bool CObfuscatedIniReader::IsScrambled(const std::wstring& value)
{
    return value.size() == 74 && value.compare(0, 8, L"54535247") == 0;
}

bool CObfuscatedIniReader::ReadString(const wchar_t* section, const wchar_t* key, std::wstring& value) const
{
    std::wstring raw;
    if (!CBaseIniReader::ReadString(section, key, raw)) return false;
    if (IsScrambled(raw)) return false;
    value = raw;
    return true;
}

}  // namespace Stratum
