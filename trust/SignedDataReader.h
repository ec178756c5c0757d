// Portable: no platform header; fuzz/ builds it with the host's compiler too.
// The parts of a PKCS #7 signed message that the program reads itself rather
// than through the platform's decoder: a time-stamp token's TSTInfo (RFC
// 3161), the value octets of a signed content, and an OCTET STRING's value
// (a messageDigest attribute, a token's wrapped content).
#pragma once

#include "trust/DerReader.h"
#include "trust/DerTime.h"

#include <string>

namespace der {

// What a time-stamp token's TSTInfo says: the digest it stamps and when.
// `imprint` points into the encoding read.
struct TstInfo {
    std::string imprintHashOid;  // the imprint's hash algorithm, dotted
    Span imprint{};
    CivilTime genTime{};
};

// TSTInfo ::= SEQUENCE { version, policy, messageImprint SEQUENCE {
// hashAlgorithm AlgorithmIdentifier, hashedMessage OCTET STRING },
// serialNumber, genTime GeneralizedTime, ... }: `encoded` must be exactly
// that one SEQUENCE; what follows genTime inside it is not read.
[[nodiscard]] bool ReadTstInfo(const Span& encoded, TstInfo& info);

// The bytes a PKCS #7 signer digests of a signed message's content: the value
// octets of the content's encoding, without its tag and length (Authenticode's
// SpcIndirectDataContent). False when `content` is not one whole DER element.
[[nodiscard]] bool ContentValue(const Span& content, Span& value);

// The value of an encoding that is exactly one OCTET STRING; false otherwise.
[[nodiscard]] bool OctetStringValue(const Span& encoded, Span& value);

}  // namespace der
