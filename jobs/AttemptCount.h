// The jobs' attempt counts in the data store's status section
// ("krsdownloadcount", "autodownloadcount"): decimal text, read and counted on
// in one way by both jobs.
#pragma once

#include <algorithm>
#include <climits>
#include <cwchar>
#include <string>

namespace attempt_count {

// The text as a base-10 signed 32-bit number: leading blanks, an optional
// sign, the digits up to the first other character; no digits give 0, a
// number beyond the range gives the nearest end of it.
inline int Parse(const std::wstring& text)
{
    // Where long is 32 bits (Windows) the runtime stops at int's limits
    // itself; where it is wider, the clamp does.
    const long value = std::wcstol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp(value, static_cast<long>(INT_MIN), static_cast<long>(INT_MAX)));
}

// One attempt more. From the largest count it goes on to the smallest, as
// 32-bit arithmetic wraps, never through an overflow of int.
inline int Next(int count) { return static_cast<int>(static_cast<unsigned>(count) + 1u); }

}  // namespace attempt_count
