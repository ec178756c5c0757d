// The cryptographic checks behind the signer check that the platform does not
// make for us: digests of signed content, RSA signatures checked by hand,
// certificate chains judged path by path, serial numbers against a blocked
// list (a signer's time stamps: TimeStamp.h).
#pragma once

#include "common/Platform.h"

#include <wincrypt.h>

#include <string>
#include <vector>

namespace signature_crypto {

// The digest of `size` bytes with the algorithm named by `hashOid`; false for
// an algorithm CryptoAPI does not know.
[[nodiscard]] bool Digest(LPCSTR hashOid, const BYTE* data, DWORD size, std::vector<BYTE>& digest);

// The value of the first messageDigest attribute (an OCTET STRING); false when
// there is none or it cannot be read.
[[nodiscard]] bool MessageDigest(const CRYPT_ATTRIBUTES& attributes, std::vector<BYTE>& digest);

// True when `digest` equals the digest of `data` with `hashOid`.
bool DigestMatches(LPCSTR hashOid, const BYTE* data, DWORD size, const std::vector<BYTE>& digest);

// The bytes a PKCS #7 signer digests of a signed message's content: the value
// octets of the content's encoding, without its tag and length (Authenticode's
// SpcIndirectDataContent). False when `content` is not one whole DER element.
[[nodiscard]] bool ContentValue(const std::vector<BYTE>& content, const BYTE*& value, DWORD& size);

// A certificate serial number (as CryptoAPI stores it, least significant byte
// first) as text: most significant byte first, two lower-case hex digits a byte.
std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial);

// Whether a serial number, normalised (NormalisedSerialText), is in a blocked
// list (null-terminated hex texts, normalised the same way; null: none), and
// whether `cert`'s is.
bool SerialTextBlocked(const LPCWSTR* blocked, const std::wstring& normalised);
bool SerialBlocked(const LPCWSTR* blocked, PCCERT_CONTEXT cert);

// An RSA PKCS #1 signature (as it is encoded, most significant byte first)
// over `data` with `hashOid`, checked with `cert`'s public key.
[[nodiscard]] bool VerifyRsaSignature(PCCERT_CONTEXT cert, LPCSTR hashOid, const BYTE* data, DWORD size,
                        const CRYPT_DATA_BLOB& signature);

// The certificate chain of `cert` at `time` (null: now) with `additional` as
// extra certificates, for one extended key usage. False when none can be built.
[[nodiscard]] bool BuildChain(PCCERT_CONTEXT cert, const FILETIME* time, HCERTSTORE additional, LPCSTR usage,
                PCCERT_CHAIN_CONTEXT& chain);

// Whether one path of a chain holds by itself at `time` (null: now): every
// certificate's signature checks out with the next one's key (the last one's
// with its own), every certificate is valid at that time, and no element
// reports an error other than an untrusted root. The platform's error bits are
// taken as they are and checked again here, so a chain engine that leaves a
// bit out cannot let a forged link through.
bool PathHolds(const CERT_SIMPLE_CHAIN& path, const FILETIME* time);

}  // namespace signature_crypto
