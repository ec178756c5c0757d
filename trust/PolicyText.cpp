#include "trust/PolicyText.h"

namespace {

constexpr wchar_t kSignaturePrefix[] = L"// SIG //";
constexpr wchar_t kBlockLine[] = L"// SIG // ";
constexpr wchar_t kBegin[] = L"// SIG // Begin signature block";
constexpr wchar_t kEnd[] = L"// SIG // End signature block";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Standard base64 with its padding; false for any other character.
bool DecodeBase64(const std::wstring& text, std::vector<uint8_t>& bytes)
{
    if (text.empty() || text.size() % 4 != 0) return false;
    const size_t padding = text.compare(text.size() - 2, 2, L"==") == 0 ? 2 : text.back() == L'=' ? 1 : 0;
    std::vector<uint8_t> out;
    unsigned bits = 0;
    int count = 0;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        const wchar_t c = text[i];
        unsigned value;
        if (c >= L'A' && c <= L'Z') value = c - L'A';
        else if (c >= L'a' && c <= L'z') value = c - L'a' + 26;
        else if (c >= L'0' && c <= L'9') value = c - L'0' + 52;
        else if (c == L'+') value = 62;
        else if (c == L'/') value = 63;
        else return false;
        bits = (bits << 6) | value;
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(bits >> count));
            bits &= (1u << count) - 1;
        }
    }
    bytes.swap(out);
    return true;
}

bool HexDigit(wchar_t c, uint8_t& value)
{
    if (c >= L'0' && c <= L'9') value = static_cast<uint8_t>(c - L'0');
    else if (c >= L'a' && c <= L'f') value = static_cast<uint8_t>(c - L'a' + 10);
    else if (c >= L'A' && c <= L'F') value = static_cast<uint8_t>(c - L'A' + 10);
    else return false;
    return true;
}

// One line of `text` from `start`: its content without its line break (and
// a carriage return before it); `next` is where the following line starts.
std::wstring Line(const std::wstring& text, size_t start, size_t& next)
{
    size_t end = text.find(L'\n', start);
    next = end == std::wstring::npos ? text.size() + 1 : end + 1;
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    return line;
}

}  // namespace

bool SplitPolicyScript(const std::vector<uint8_t>& bytes, PolicyScript& script, std::wstring& reason)
{
    if (bytes.size() > kMaxPolicyBytes || bytes.size() % 2 != 0) {
        reason = L"it cannot be read as UTF-16 text";
        return false;
    }
    std::wstring all(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<wchar_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    const size_t first = !all.empty() && all[0] == 0xFEFF ? 1 : 0;

    // The block: the first line that starts like a signature line.
    size_t block = first, next = first;
    std::wstring line;
    for (; block < all.size(); block = next) {
        line = Line(all, block, next);
        const size_t text = line.find_first_not_of(L" \t");
        if (text != std::wstring::npos && line.compare(text, 9, kSignaturePrefix) == 0) break;
    }
    if (block >= all.size()) {
        reason = L"it carries no signature block";
        return false;
    }
    if (line != kBegin || block == first) {
        reason = L"its signature block does not start on a line of its own after its text";
        return false;
    }
    size_t cut = block - 1;  // the line break before the block
    if (cut > first && all[cut - 1] == L'\r') --cut;

    std::wstring base64;
    for (size_t at = next;; at = next) {
        if (at >= all.size()) {
            reason = L"its signature block has no end";
            return false;
        }
        line = Line(all, at, next);
        if (line == kEnd) break;
        if (!StartsWith(line, kBlockLine)) {
            reason = L"its signature block holds a line that is not a signature line";
            return false;
        }
        base64 += line.substr(std::char_traits<wchar_t>::length(kBlockLine));
    }
    if (next < all.size() && all.find_first_not_of(L"\r\n", next) != std::wstring::npos) {
        reason = L"text follows its signature block";
        return false;
    }
    PolicyScript out;
    if (!DecodeBase64(base64, out.signature)) {
        reason = L"its signature block cannot be decoded";
        return false;
    }
    out.text = all.substr(first, cut - first);
    out.signedBytes = 2 * cut;
    script = std::move(out);
    return true;
}

bool ParseDecimalVersion(const std::wstring& text, uint32_t& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    unsigned long long number = 0;
    for (wchar_t c : text) number = number * 10 + static_cast<unsigned>(c - L'0');
    if (number > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(number);
    return true;
}

bool ParsePolicySections(const std::wstring& text, PolicySections& policy, std::wstring& reason)
{
    PolicySections out;
    std::vector<std::wstring>* section = nullptr;
    for (size_t start = 0, next = 0; start <= text.size(); start = next) {
        std::wstring line = Line(text, start, next);
        const size_t first = line.find_first_not_of(L" \t");
        if (first == std::wstring::npos) continue;
        line = line.substr(first, line.find_last_not_of(L" \t") - first + 1);
        if (line.size() >= 2 && line.front() == L'[' && line.back() == L']') {
            section = &out.sections[line.substr(1, line.size() - 2)];
        } else if (section) {
            section->push_back(line);
        }
    }
    const auto version = out.sections.find(L"VER");
    if (version == out.sections.end() || version->second.size() != 1) {
        reason = L"its [VER] section must hold exactly one line";
        return false;
    }
    if (!ParseDecimalVersion(version->second.front(), out.version)) {
        reason = L"its version \"" + version->second.front() + L"\" is not a decimal number";
        return false;
    }
    policy = std::move(out);
    return true;
}

bool ParseThumbprintText(const std::wstring& line, uint8_t (&bytes)[20])
{
    uint8_t out[20];
    if (line.size() != 2 * sizeof(out)) return false;
    for (size_t i = 0; i < sizeof(out); ++i) {
        uint8_t high = 0, low = 0;
        if (!HexDigit(line[2 * i], high) || !HexDigit(line[2 * i + 1], low)) return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    for (size_t i = 0; i < sizeof(out); ++i) bytes[i] = out[i];
    return true;
}

std::wstring NormalisedSerialText(const std::wstring& hex)
{
    std::wstring text = hex.size() % 2 ? L"0" + hex : hex;
    size_t start = 0;
    while (start + 2 < text.size() && text[start] == L'0' && text[start + 1] == L'0') start += 2;
    text.erase(0, start);
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}
