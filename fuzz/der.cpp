// der: the DER readers of the signature check on pieces of real signatures
// (the input's bytes as they are). Every element of the input, and every
// element inside a constructed one or an OCTET STRING, goes through the
// element reader, and through the reader made for its kind: object
// identifiers, the two time forms, TSTInfo, a signed content's value octets
// and an OCTET STRING's value. Each answer is checked against the rule
// computed another way.
#include "fuzz/FuzzText.h"
#include "trust/DerReader.h"
#include "trust/DerTime.h"
#include "trust/SignedDataReader.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using der::Span;

bool Same(const Span& a, const Span& b) { return a.data == b.data && a.size == b.size; }

// X.690 8.1.3, definite form with at most four length bytes: the header's
// size and the content's length, or false.
bool Header(const Span& in, size_t& header, size_t& length)
{
    if (in.size < 2 || in.data[1] == 0x80) return false;
    if (in.data[1] < 0x80) {
        header = 2;
        length = in.data[1];
    } else {
        const size_t bytes = in.data[1] - 0x80;
        if (bytes > 4 || in.size < 2 + bytes) return false;
        header = 2 + bytes;
        length = 0;
        for (size_t i = 0; i < bytes; ++i) length = length * 256 + in.data[2 + i];
    }
    return length <= in.size - header;
}

// ReadElement and ReadExpected against Header: what is read, where the rest
// starts, and an input left alone on a refusal. The element's whole encoding
// goes to `whole`.
bool CheckElement(Span& in, uint8_t& tag, Span& value, Span& whole)
{
    const Span before = in;
    size_t header = 0, length = 0;
    const bool expected = Header(in, header, length);
    Span rest = in;
    const bool read = der::ReadElement(rest, tag, value);
    FUZZ_CHECK(read == expected);
    if (!read) {
        FUZZ_CHECK(Same(rest, before));
        return false;
    }
    FUZZ_CHECK(tag == in.data[0] && value.data == in.data + header && value.size == length);
    FUZZ_CHECK(rest.data == value.data + length && rest.size == in.size - header - length);
    for (const uint8_t other : {tag, static_cast<uint8_t>(tag ^ 1)}) {
        Span probe = in, inner{};
        const bool matched = der::ReadExpected(probe, other, inner);
        FUZZ_CHECK(matched == (other == tag));
        FUZZ_CHECK(matched ? Same(probe, rest) && Same(inner, value) : Same(probe, before));
    }
    whole = {in.data, header + length};
    in = rest;
    return true;
}

// A decimal number plus `add`, in base 128: its groups, most significant first.
std::vector<uint8_t> Base128(std::string digits, unsigned add)
{
    for (size_t i = digits.size(); add != 0 && i-- > 0;) {
        const unsigned sum = static_cast<unsigned>(digits[i] - '0') + add;
        digits[i] = static_cast<char>('0' + sum % 10);
        add = sum / 10;
    }
    for (; add != 0; add /= 10) digits.insert(digits.begin(), static_cast<char>('0' + add % 10));
    std::vector<uint8_t> groups;
    do {
        std::string quotient;
        unsigned remainder = 0;
        for (const char c : digits) {
            const unsigned value = remainder * 10 + static_cast<unsigned>(c - '0');
            if (!quotient.empty() || value >= 128) quotient.push_back(static_cast<char>('0' + value / 128));
            remainder = value % 128;
        }
        groups.insert(groups.begin(), static_cast<uint8_t>(remainder));
        digits = quotient;
    } while (!digits.empty());
    return groups;
}

// Object identifiers: refused exactly when empty, unfinished or padded (0x80
// starting a subidentifier); otherwise the text is arcs in plain decimal, the
// first 0, 1 or 2 (the second below 40 unless the first is 2), and encoding
// it again gives the value back.
void CheckOid(const Span& value)
{
    bool expected = value.size > 0 && !(value.data[value.size - 1] & 0x80);
    for (size_t i = 0; i < value.size; ++i) {
        if ((i == 0 || !(value.data[i - 1] & 0x80)) && value.data[i] == 0x80) expected = false;
    }
    std::string text = "untouched";
    const bool read = der::OidText(value, text);
    FUZZ_CHECK(read == expected);
    if (!read) {
        FUZZ_CHECK(text == "untouched");
        return;
    }
    std::vector<std::string> arcs(1);
    for (const char c : text) {
        if (c == '.') {
            arcs.emplace_back();
        } else {
            FUZZ_CHECK(c >= '0' && c <= '9');
            arcs.back().push_back(c);
        }
    }
    for (const std::string& arc : arcs) FUZZ_CHECK(!arc.empty() && (arc == "0" || arc[0] != '0'));
    FUZZ_CHECK(arcs.size() >= 2 && arcs[0].size() == 1 && arcs[0][0] <= '2');
    const unsigned first = static_cast<unsigned>(arcs[0][0] - '0');
    FUZZ_CHECK(first == 2 || arcs[1].size() == 1 || (arcs[1].size() == 2 && arcs[1] < "40"));
    std::vector<uint8_t> encoded;
    for (size_t i = 1; i < arcs.size(); ++i) {
        const std::vector<uint8_t> groups = Base128(arcs[i], i == 1 ? 40 * first : 0);
        for (size_t k = 0; k < groups.size(); ++k) encoded.push_back(groups[k] | (k + 1 < groups.size() ? 0x80 : 0));
    }
    FUZZ_CHECK(encoded.size() == value.size && std::memcmp(encoded.data(), value.data, value.size) == 0);
}

bool AllDigits(const uint8_t* p, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
    }
    return true;
}

std::string Fields(const der::CivilTime& t, bool twoDigitYear)
{
    char text[32];
    if (twoDigitYear) {
        std::snprintf(text, sizeof(text), "%02u%02u%02u%02u%02u%02u", t.year % 100u, t.month, t.day, t.hour, t.minute,
                      t.second);
    } else {
        std::snprintf(text, sizeof(text), "%04u%02u%02u%02u%02u%02u", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
    }
    return text;
}

// GeneralizedTime: fourteen digits, "Z" or "." and anything and "Z"; the
// fields written back give the digits.
void CheckGeneralizedTime(const Span& value)
{
    const bool expected = value.size >= 15 && value.data[value.size - 1] == 'Z' &&
                          (value.size == 15 || value.data[14] == '.') && AllDigits(value.data, 14);
    der::CivilTime time;
    time.year = 7;
    const bool read = der::ReadGeneralizedTime(value, time);
    FUZZ_CHECK(read == expected);
    FUZZ_CHECK(read ? Fields(time, false) == std::string(reinterpret_cast<const char*>(value.data), 14) : time.year == 7);
}

// A signing time's 15 bytes: tag, 13, twelve digits, "Z"; years 1970 to 2069.
void CheckUtcSigningTime(const Span& encoded)
{
    const bool expected = encoded.size == 15 && encoded.data[0] == 0x17 && encoded.data[1] == 13 &&
                          encoded.data[14] == 'Z' && AllDigits(encoded.data + 2, 12);
    der::CivilTime time;
    time.year = 7;
    const bool read = der::ReadUtcSigningTime(encoded, time);
    FUZZ_CHECK(read == expected);
    if (!read) {
        FUZZ_CHECK(time.year == 7);
        return;
    }
    FUZZ_CHECK(time.year >= 1970 && time.year <= 2069);
    FUZZ_CHECK(Fields(time, true) == std::string(reinterpret_cast<const char*>(encoded.data) + 2, 12));
}

// TSTInfo, against its fields found with the element reader alone.
void CheckTstInfo(const Span& whole)
{
    der::TstInfo info;
    const bool read = der::ReadTstInfo(whole, info);

    Span in = whole, tst{}, imprint{}, field{}, algorithm{}, oid{}, digest{}, genTime{};
    uint8_t tag = 0;
    bool expected = der::ReadElement(in, tag, tst) && tag == 0x30 && in.size == 0;
    const uint8_t tags[] = {0x02, 0x06, 0x30, 0x02, 0x18};
    for (int i = 0; expected && i < 5; ++i) {
        expected = der::ReadElement(tst, tag, field) && tag == tags[i];
        if (i == 2) imprint = field;
        if (i == 4) genTime = field;
    }
    expected = expected && der::ReadElement(imprint, tag, algorithm) && tag == 0x30 &&
               der::ReadElement(algorithm, tag, oid) && tag == 0x06 && der::ReadElement(imprint, tag, digest) &&
               tag == 0x04;
    std::string oidText;
    der::CivilTime time;
    expected = expected && der::OidText(oid, oidText) && der::ReadGeneralizedTime(genTime, time);
    FUZZ_CHECK(read == expected);
    if (!read) return;
    FUZZ_CHECK(info.imprintHashOid == oidText && Same(info.imprint, digest));
    FUZZ_CHECK(Fields(info.genTime, false) == Fields(time, false));
}

// A signed content's value octets and an OCTET STRING's value: the one
// element's value, when the encoding is exactly one element (of that kind).
void CheckWholeElement(const Span& encoding, bool oneElement, uint8_t tag, const Span& value)
{
    Span content{};
    FUZZ_CHECK(der::ContentValue(encoding, content) == oneElement);
    if (oneElement) FUZZ_CHECK(Same(content, value));
    Span octets{};
    const bool octetString = oneElement && tag == 0x04;
    FUZZ_CHECK(der::OctetStringValue(encoding, octets) == octetString);
    if (octetString) FUZZ_CHECK(Same(octets, value));
}

void Walk(Span in, int depth)
{
    const Span all = in;
    bool first = true;
    while (in.size > 0) {
        uint8_t tag = 0;
        Span value{}, whole{};
        if (!CheckElement(in, tag, value, whole)) {
            CheckWholeElement(all, false, 0, {});
            return;
        }
        if (first) CheckWholeElement(all, in.size == 0, tag, value);
        first = false;
        CheckWholeElement(whole, true, tag, value);
        switch (tag) {
            case 0x06: CheckOid(value); break;
            case 0x17: CheckUtcSigningTime(whole); break;
            case 0x18: CheckGeneralizedTime(value); break;
            case 0x30: CheckTstInfo(whole); break;
            default: break;
        }
        // Inside: a constructed element's elements, and the DER that
        // signatures wrap in OCTET STRINGs (a token's TSTInfo, an attribute).
        if (depth < 24 && ((tag & 0x20) || tag == 0x04)) Walk(value, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Span input{data, size};
    Walk(input, 0);
    CheckOid(input);
    CheckGeneralizedTime(input);
    CheckUtcSigningTime(input);
    return 0;
}
