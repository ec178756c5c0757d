// Portable: no platform header; fuzz/ builds it with the host's compiler too.
// The two time forms of a signature, read into their calendar fields: a
// time-stamp token's GeneralizedTime and a counter-signature's UTCTime
// signing time. The fields are taken as written; whether they make a date is
// left to the caller's conversion (SystemTimeToFileTime refuses one that
// does not).
#pragma once

#include "trust/DerReader.h"

#include <cstdint>

namespace der {

// A time to the second, in UTC.
struct CivilTime {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
};

// A GeneralizedTime's value octets, "YYYYMMDDhhmmss[.fff]Z": fourteen digits,
// then "Z" or a fraction of a second (ignored) and "Z". False for any other
// form, with `time` untouched.
[[nodiscard]] bool ReadGeneralizedTime(const Span& value, CivilTime& time);

// A signing-time attribute value of exactly 15 bytes: UTCTime's tag (0x17),
// length 13, "YYMMDDhhmmssZ"; a two-digit year below 70 is 20YY, else 19YY.
// False for any other form, with `time` untouched.
[[nodiscard]] bool ReadUtcSigningTime(const Span& encoded, CivilTime& time);

}  // namespace der
