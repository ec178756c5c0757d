#include "common/Platform.h"

#include "logging/IniReader.h"

#include <shlwapi.h>

#include <cwchar>
#include <cwctype>
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
    return ReadString(section, key, text) && ParseIniNumber(text, value);
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

bool ParseIniNumber(const std::wstring& text, DWORD& value)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && iswspace(text[begin])) ++begin;
    while (end > begin && iswspace(text[end - 1])) --end;
    if (begin == end) return false;
    int base = 10;
    if (end - begin > 2 && text[begin] == L'0' && (text[begin + 1] == L'x' || text[begin + 1] == L'X')) {
        base = 16;
        begin += 2;
    }
    unsigned long long result = 0;
    for (size_t i = begin; i < end; ++i) {
        const wchar_t c = text[i];
        unsigned digit;
        if (c >= L'0' && c <= L'9') digit = static_cast<unsigned>(c - L'0');
        else if (base == 16 && c >= L'a' && c <= L'f') digit = static_cast<unsigned>(c - L'a' + 10);
        else if (base == 16 && c >= L'A' && c <= L'F') digit = static_cast<unsigned>(c - L'A' + 10);
        else return false;
        result = result * static_cast<unsigned>(base) + digit;
        if (result > 0xFFFFFFFFull) return false;
    }
    value = static_cast<DWORD>(result);
    return true;
}

}  // namespace Stratum
