// What the fuzz targets (and storefuzz's replay of their corpus under Wine)
// share: an input's bytes as UTF-16 text, and the check that fails a run.
// Portable: standard C++ only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A property that does not hold is a finding: libFuzzer keeps the input.
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::qelfuzz::Fail(#condition, __FILE__, __LINE__))

namespace qelfuzz {

[[noreturn]] inline void Fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

// The bytes as UTF-16 code units: UTF-8 where they are UTF-8 (surrogates
// encoded on their own count, so that a lone one can be written), one unit
// per byte where they are not. Corpus files stay readable, and every unit
// can be reached.
inline std::u16string Utf16(const uint8_t* data, size_t size)
{
    std::u16string text;
    text.reserve(size);
    for (size_t i = 0; i < size;) {
        const unsigned lead = data[i];
        const size_t n = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                       : lead >= 0xF0 && lead < 0xF5                   ? 4
                                                                       : 0;
        uint32_t unit = n == 1 ? lead : n == 2 ? lead & 0x1F : n == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = n != 0 && i + n <= size;
        for (size_t k = 1; valid && k < n; ++k) {
            valid = (data[i + k] & 0xC0) == 0x80;
            unit = unit << 6 | (data[i + k] & 0x3F);
        }
        valid = valid && (n != 3 || unit >= 0x800) && (n != 4 || (unit >= 0x10000 && unit <= 0x10FFFF));
        if (!valid) {
            text.push_back(static_cast<char16_t>(lead));
            ++i;
            continue;
        }
        if (unit >= 0x10000) {
            text.push_back(static_cast<char16_t>(0xD800 + ((unit - 0x10000) >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + ((unit - 0x10000) & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(unit));
        }
        i += n;
    }
    return text;
}

// The program's readers that take std::wstring: one code unit per wchar_t
// (16 bits on Windows, 32 elsewhere).
inline std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

}  // namespace qelfuzz
