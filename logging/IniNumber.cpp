#include "logging/IniNumber.h"

#include <cwctype>

namespace Stratum {

bool ParseIniNumber(const std::wstring& text, std::uint32_t& value)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
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
    value = static_cast<std::uint32_t>(result);
    return true;
}

}  // namespace Stratum
