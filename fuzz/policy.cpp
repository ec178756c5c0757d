// policy: the policy file's text. The input's bytes are a policy file (they
// are split into the signed text and its signature block), and the same
// bytes read as text (FuzzText.h) are a policy text, whose sections are read
// like the split text's. Checked: exactly one version line, equal to its
// digits; every line of a section trimmed and not empty, in the sections the
// text says; thumbprints of 20 bytes or none; a split that gives back the
// file's text and its signature.
#include "fuzz/FuzzText.h"
#include "trust/PolicyText.h"

#include <charconv>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Sections = std::map<std::wstring, std::vector<std::wstring>>;

bool Blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The sections by the rule, written out another way: lines end at a line
// feed (a carriage return before it is not part of them), are trimmed of
// blanks and tabs, "[name]" opens a section, and other non-empty lines go to
// the open one.
Sections ExpectedSections(const std::wstring& text)
{
    Sections sections;
    std::vector<std::wstring>* open = nullptr;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(L'\n', start);
        std::wstring line = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        while (!line.empty() && Blank(line.back())) line.pop_back();
        size_t lead = 0;
        while (lead < line.size() && Blank(line[lead])) ++lead;
        line.erase(0, lead);
        if (line.size() >= 2 && line.front() == L'[' && line.back() == L']') {
            open = &sections[line.substr(1, line.size() - 2)];
        } else if (!line.empty() && open) {
            open->push_back(line);
        }
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return sections;
}

bool HexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'); }

void CheckThumbprint(const std::wstring& line)
{
    bool expected = line.size() == 40;
    for (size_t i = 0; expected && i < line.size(); ++i) expected = HexDigit(line[i]);
    uint8_t bytes[20];
    std::memset(bytes, 0xA5, sizeof(bytes));
    const bool read = ParseThumbprintText(line, bytes);
    FUZZ_CHECK(read == expected);
    for (size_t i = 0; i < sizeof(bytes); ++i) {
        if (!read) {
            FUZZ_CHECK(bytes[i] == 0xA5);
            continue;
        }
        const std::string pair{static_cast<char>(line[2 * i]), static_cast<char>(line[2 * i + 1])};
        unsigned value = 0;
        std::from_chars(pair.data(), pair.data() + 2, value, 16);
        FUZZ_CHECK(bytes[i] == value);
    }
}

void CheckSections(const std::wstring& text)
{
    PolicySections policy;
    std::wstring reason;
    const bool read = ParsePolicySections(text, policy, reason);
    const Sections expected = ExpectedSections(text);

    // Exactly one version line, of one to ten digits 0-9 worth at most 2^32 - 1.
    const auto version = expected.find(L"VER");
    bool good = version != expected.end() && version->second.size() == 1;
    uint64_t number = 0;
    if (good) {
        const std::wstring& line = version->second.front();
        std::string digits;
        for (const wchar_t c : line) digits.push_back(c >= L'0' && c <= L'9' ? static_cast<char>(c) : 'x');
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        good = line.size() <= 10 && error == std::errc() && end == digits.data() + digits.size() &&
               number <= 0xFFFFFFFFu;
    }
    FUZZ_CHECK(read == good);
    FUZZ_CHECK(read == reason.empty());
    if (!read) return;
    FUZZ_CHECK(policy.version == number);
    FUZZ_CHECK(policy.sections == expected);
    for (const auto& [name, lines] : policy.sections) {
        for (const std::wstring& line : lines) {
            FUZZ_CHECK(!line.empty() && !Blank(line.front()) && !Blank(line.back()));
            FUZZ_CHECK(line.size() < 2 || line.front() != L'[' || line.back() != L']');
        }
    }
    if (const auto sha = policy.sections.find(L"SHA"); sha != policy.sections.end()) {
        for (const std::wstring& line : sha->second) CheckThumbprint(line);
    }
}

// Base64 four characters at a time ("=" padding the last group).
std::vector<uint8_t> FromBase64(const std::wstring& text)
{
    const std::wstring alphabet = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 4 <= text.size(); i += 4) {
        uint32_t group = 0;
        size_t padding = 0;
        for (size_t k = 0; k < 4; ++k) {
            const size_t value = alphabet.find(text[i + k]);
            padding += text[i + k] == L'=';
            group = group << 6 | (value == std::wstring::npos ? 0 : static_cast<uint32_t>(value));
        }
        for (size_t k = 0; k < 3 - padding; ++k) bytes.push_back(static_cast<uint8_t>(group >> (16 - 8 * k)));
    }
    return bytes;
}

// A split gives the text between the byte-order mark and the line break
// before the block, which is the first line (blanks before it aside) that
// starts "// SIG //", whose lines' base64 is the signature's, and after
// which only line breaks follow.
void CheckSplit(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> bytes(data, data + size);
    PolicyScript script;
    std::wstring reason;
    const bool split = SplitPolicyScript(bytes, script, reason);
    FUZZ_CHECK(split == reason.empty());
    if (!split) return;
    FUZZ_CHECK(size % 2 == 0 && size <= kMaxPolicyBytes && script.signedBytes % 2 == 0 && script.signedBytes < size);

    std::wstring all;
    for (size_t i = 0; i + 1 < size; i += 2) all.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
    const size_t bom = !all.empty() && all[0] == 0xFEFF ? 1 : 0;
    const size_t cut = script.signedBytes / 2;
    FUZZ_CHECK(cut >= bom && script.text == all.substr(bom, cut - bom));
    FUZZ_CHECK(all[cut] == L'\n' || (all[cut] == L'\r' && all[cut + 1] == L'\n'));
    const size_t block = all.find(L'\n', cut) + 1;
    FUZZ_CHECK(all.compare(block, 31, L"// SIG // Begin signature block") == 0);
    for (size_t start = bom; start < block;) {
        const size_t first = all.find_first_not_of(L" \t", start);
        FUZZ_CHECK(first >= block || all.compare(first, 9, L"// SIG //") != 0);
        start = all.find(L'\n', start) + 1;
    }

    // Each block line after the first is "// SIG // " and base64, up to the end line.
    std::wstring base64;
    size_t at = all.find(L'\n', block) + 1;
    for (;;) {
        size_t end = all.find(L'\n', at);
        std::wstring line = all.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        at = end == std::wstring::npos ? all.size() : end + 1;
        if (line == L"// SIG // End signature block") break;
        FUZZ_CHECK(line.compare(0, 10, L"// SIG // ") == 0 && end != std::wstring::npos);
        base64 += line.substr(10);
    }
    FUZZ_CHECK(all.find_first_not_of(L"\r\n", at) == std::wstring::npos);
    FUZZ_CHECK(script.signature == FromBase64(base64));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CheckSplit(data, size);
    CheckSections(qelfuzz::Wide(qelfuzz::Utf16(data, size)));
    // What a split leaves is read like any text.
    const std::vector<uint8_t> bytes(data, data + size);
    PolicyScript script;
    std::wstring reason;
    if (SplitPolicyScript(bytes, script, reason)) CheckSections(script.text);
    return 0;
}
