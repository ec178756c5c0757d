#include "trust/DerTime.h"

namespace der {
namespace {

bool Digits(const uint8_t* p, int count, uint16_t& value)
{
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = static_cast<uint16_t>(value * 10 + (p[i] - '0'));
    }
    return true;
}

}  // namespace

bool ReadGeneralizedTime(const Span& value, CivilTime& time)
{
    if (value.size < 15 || value.data[value.size - 1] != 'Z') return false;
    if (value.size > 15 && value.data[14] != '.') return false;
    CivilTime t;
    if (!Digits(value.data, 4, t.year) || !Digits(value.data + 4, 2, t.month) || !Digits(value.data + 6, 2, t.day) ||
        !Digits(value.data + 8, 2, t.hour) || !Digits(value.data + 10, 2, t.minute) ||
        !Digits(value.data + 12, 2, t.second)) {
        return false;
    }
    time = t;
    return true;
}

bool ReadUtcSigningTime(const Span& encoded, CivilTime& time)
{
    const uint8_t* p = encoded.data;
    if (encoded.size != 15 || p[0] != 0x17 || p[1] != 13 || p[14] != 'Z') return false;
    uint16_t parts[6];
    for (int i = 0; i < 6; ++i) {
        if (!Digits(p + 2 + 2 * i, 2, parts[i])) return false;
    }
    CivilTime t;
    t.year = static_cast<uint16_t>(parts[0] < 70 ? 2000 + parts[0] : 1900 + parts[0]);
    t.month = parts[1];
    t.day = parts[2];
    t.hour = parts[3];
    t.minute = parts[4];
    t.second = parts[5];
    time = t;
    return true;
}

}  // namespace der
