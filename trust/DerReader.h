// Portable: no platform header; fuzz/ builds it with the host's compiler too.
// A small reader of DER (X.690) encodings, bounds-checked, for the parts of a
// signature the platform does not read for us: elements and their lengths,
// and object identifiers (the times: DerTime.h; a signed message's parts:
// SignedDataReader.h). Pure: no platform call, so any input can be thrown at
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace der {

// A run of bytes inside a buffer that outlives it.
struct Span {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// Reads one element from the front of `in` (definite length of at most four
// length bytes): its tag and its value octets; `in` moves past it. False, with
// `in` untouched, when no whole element is there.
[[nodiscard]] bool ReadElement(Span& in, uint8_t& tag, Span& value);

// ReadElement, and the tag must be `expected`.
[[nodiscard]] bool ReadExpected(Span& in, uint8_t expected, Span& value);

// An OBJECT IDENTIFIER's value octets as dotted text (X.690 8.19): every
// subidentifier is read over as many bytes as it takes, the first one too,
// which holds the first two arcs as 0.v, 1.(v-40) or 2.(v-80); an arc may be
// of any size. False for an empty value, or a subidentifier that is not
// finished or starts with the padding byte 0x80.
[[nodiscard]] bool OidText(const Span& oid, std::string& text);

}  // namespace der
