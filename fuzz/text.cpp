// text: the small readers of others' text. The first byte picks one, the
// rest is the text (any other first byte: nothing):
//   c  the context number of the scheduler's command line ("/context=N")
//   i  a number of log.ini ("123", "0x7B")
//   u  the unsafe-sequence check of task parameters and telemetry values
//   s  a serial number as blocked lists compare it (the policy file's [SER])
// Each answer is checked against the same rule computed another way.
#include "app/ContextNumber.h"
#include "common/UnsafeText.h"
#include "fuzz/FuzzText.h"
#include "jobs/AttemptCount.h"
#include "logging/IniNumber.h"
#include "trust/PolicyText.h"

#include <charconv>
#include <clocale>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// The command line trimmed and lower-cased; the number after "/context=" (up
// to a second "=") as the C library reads a number (here only 0-9 are
// digits, as in ContextNumber), clamped to int's range.
void CheckContext(const std::wstring& commandLine)
{
    std::wstring copy = commandLine;
    const int context = job_dispatch::ParseContextId(copy);

    size_t begin = 0, end = commandLine.size();
    while (begin < end && std::iswspace(commandLine[begin])) ++begin;
    while (end > begin && std::iswspace(commandLine[end - 1])) --end;
    std::wstring expected = commandLine.substr(begin, end - begin);
    for (auto& c : expected) c = static_cast<wchar_t>(std::towlower(c));
    FUZZ_CHECK(copy == expected);

    const std::wstring_view prefix = L"/context=";
    if (expected.compare(0, prefix.size(), prefix) != 0) {
        FUZZ_CHECK(context == 0);
        return;
    }
    std::wstring number = expected.substr(prefix.size(), expected.find(L'=', prefix.size()) - prefix.size());
    number.resize(std::wcslen(number.c_str()));  // the C library stops at a NUL; a NUL is no digit either
    FUZZ_CHECK(context == attempt_count::Parse(number));
}

// Blanks around, then decimal digits, or "0x"/"0X" and hexadecimal digits; 32 bits.
void CheckIniNumber(const std::wstring& text)
{
    uint32_t value = 7;
    const bool read = Stratum::ParseIniNumber(text, value);

    size_t begin = 0, end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    std::string digits;
    for (size_t i = begin; i < end; ++i) digits.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.erase(0, 2);
    }
    uint64_t number = 0;
    const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number, base);
    const bool expected = !digits.empty() && error == std::errc() && stop == digits.data() + digits.size() && number <= 0xFFFFFFFFu;
    FUZZ_CHECK(read == expected);
    FUZZ_CHECK(value == (read ? number : 7));
}

// Any of @ & ; ' % " CR LF, or the texts \r, \n, 0x0f (%00 holds a %).
void CheckUnsafe(const std::wstring& text)
{
    const bool expected = text.find_first_of(L"@&;'%\"\r\n") != std::wstring::npos ||
                          text.find(L"\\r") != std::wstring::npos || text.find(L"\\n") != std::wstring::npos ||
                          text.find(L"0x0f") != std::wstring::npos;
    FUZZ_CHECK(HasUnsafeSequence(text) == expected);
}

// A serial number normalised: for hex text, its bytes (an odd count of
// digits has a leading zero) without leading zero bytes (one stays),
// written in lower case. For any text: case makes no difference, A to Z never
// come out, and a normalised number stays as it is.
void CheckSerial(const std::wstring& text)
{
    const std::wstring normalised = NormalisedSerialText(text);
    std::wstring upper = text;
    for (auto& c : upper) c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
    FUZZ_CHECK(NormalisedSerialText(upper) == normalised);
    FUZZ_CHECK(NormalisedSerialText(normalised) == normalised);
    FUZZ_CHECK(normalised.find_first_of(L"ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::wstring::npos);
    if (text.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos) return;
    std::vector<uint8_t> bytes;
    for (size_t i = text.size() % 2 ? 0 : 1, at = 0; at < text.size(); ++i) {
        const size_t digits = i == 0 ? 1 : 2;
        const std::string pair(text.begin() + at, text.begin() + at + digits);
        unsigned value = 0;
        std::from_chars(pair.data(), pair.data() + pair.size(), value, 16);
        bytes.push_back(static_cast<uint8_t>(value));
        at += digits;
    }
    size_t first = 0;
    while (first + 1 < bytes.size() && bytes[first] == 0) ++first;
    std::wstring expected;
    for (size_t i = first; i < bytes.size(); ++i) {
        static const wchar_t kDigits[] = L"0123456789abcdef";
        expected += kDigits[bytes[i] >> 4];
        expected += kDigits[bytes[i] & 0xF];
    }
    FUZZ_CHECK(normalised == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Blanks and letters beyond ASCII classified as on Windows (U+3000 is a blank, U+212A lower-cases to k).
    std::setlocale(LC_ALL, "C.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::wstring text = qelfuzz::Wide(qelfuzz::Utf16(data + 1, size - 1));
    switch (data[0]) {
        case 'c': CheckContext(text); break;
        case 'i': CheckIniNumber(text); break;
        case 'u': CheckUnsafe(text); break;
        case 's': CheckSerial(text); break;
        default: break;
    }
    return 0;
}
