#include "trust/DerReader.h"

#include <vector>

namespace der {
namespace {

// The number written in base 128 by `groups` (most significant first), less
// `less` (which it is not below), in decimal. Arcs are of any size: an arc
// of up to nine groups is a plain 64-bit number, a longer one is divided
// down by hand.
std::string Decimal(std::vector<uint8_t> groups, unsigned less)
{
    for (size_t i = groups.size(); less != 0 && i-- > 0;) {
        const unsigned borrow = less % 128 > groups[i] ? 1 : 0;
        groups[i] = static_cast<uint8_t>(groups[i] + 128 * borrow - less % 128);
        less = less / 128 + borrow;
    }
    if (groups.size() <= 9) {
        unsigned long long value = 0;
        for (const uint8_t group : groups) value = value << 7 | group;
        return std::to_string(value);
    }
    std::string digits;
    for (size_t first = 0; first < groups.size();) {
        unsigned remainder = 0;
        for (size_t i = first; i < groups.size(); ++i) {
            const unsigned value = remainder * 128 + groups[i];
            groups[i] = static_cast<uint8_t>(value / 10);
            remainder = value % 10;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + remainder));
        while (first < groups.size() && groups[first] == 0) ++first;
    }
    return digits;
}

}  // namespace

bool ReadElement(Span& in, uint8_t& tag, Span& value)
{
    if (in.size < 2) return false;
    size_t length = in.data[1];
    size_t header = 2;
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || in.size < 2 + bytes) return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i) length = (length << 8) | in.data[2 + i];
        header += bytes;
    }
    if (length > in.size - header) return false;
    tag = in.data[0];
    value = {in.data + header, length};
    in = {in.data + header + length, in.size - header - length};
    return true;
}

bool ReadExpected(Span& in, uint8_t expected, Span& value)
{
    Span rest = in;
    uint8_t tag = 0;
    if (!ReadElement(rest, tag, value) || tag != expected) return false;
    in = rest;
    return true;
}

bool OidText(const Span& oid, std::string& text)
{
    std::string out;
    std::vector<uint8_t> groups;  // the subidentifier's 7-bit groups, most significant first
    for (size_t i = 0; i < oid.size; ++i) {
        const uint8_t byte = oid.data[i];
        if (groups.empty() && byte == 0x80) return false;
        groups.push_back(byte & 0x7F);
        if (byte & 0x80) continue;
        if (out.empty()) {
            // The first two arcs: 0.v and 1.(v-40) below 80, 2.(v-80) from there on.
            const unsigned first = groups.size() > 1 || groups[0] >= 80 ? 2 : groups[0] / 40;
            out = std::to_string(first) + "." + Decimal(groups, 40 * first);
        } else {
            out += "." + Decimal(groups, 0);
        }
        groups.clear();
    }
    if (out.empty() || !groups.empty()) return false;
    text = out;
    return true;
}

}  // namespace der
