#include "trust/DerReader.h"

namespace der {

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
    unsigned long long arc = 0;
    bool fresh = true;  // the next byte starts a subidentifier
    for (size_t i = 0; i < oid.size; ++i) {
        const uint8_t byte = oid.data[i];
        if ((fresh && byte == 0x80) || (arc >> 56)) return false;
        arc = (arc << 7) | (byte & 0x7F);
        fresh = !(byte & 0x80);
        if (!fresh) continue;
        if (out.empty()) {
            const unsigned first = arc < 40 ? 0 : arc < 80 ? 1 : 2;
            out = std::to_string(first) + "." + std::to_string(arc - 40ull * first);
        } else {
            out += "." + std::to_string(arc);
        }
        arc = 0;
    }
    if (out.empty() || !fresh) return false;
    text = out;
    return true;
}

}  // namespace der
