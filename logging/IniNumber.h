// The numbers of "log.ini": "123" or "0x7B".
// Portable: no platform header; fuzz/ builds it with the host's compiler too.
#pragma once

#include <cstdint>
#include <string>

namespace Stratum {

// Parses "123" or "0x7B" (blanks around are allowed) into a 32-bit number;
// false for anything else, a number beyond 32 bits included.
[[nodiscard]] bool ParseIniNumber(const std::wstring& text, std::uint32_t& value);

}  // namespace Stratum
