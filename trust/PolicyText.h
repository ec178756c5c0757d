// Portable: no platform header; fuzz/ builds it with the host's compiler too.
// The policy file's text, read without the platform: how the bytes of
// "trusted.js" split into the signed text and its signature block, the
// sections of that text, and the forms its entries are compared in. Pure: no
// platform call, so every rule is reachable from a table and any input can be
// thrown at it.
//
// A policy file is UTF-16LE text (its byte-order mark is optional), then
// exactly one signature block at its end and nothing after it but line
// breaks:
//   ...text...\r\n
//   // SIG // Begin signature block\r\n
//   // SIG // <base64 of the PKCS #7 signature, in lines>\r\n
//   // SIG // End signature block\r\n
// The block begins at the first line that starts with "// SIG //" (blanks
// before it ignored). The signature covers every byte of the file before the
// line break that precedes the block (the byte-order mark included), as the
// signing tool digests a script; only that text is parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A policy file is a few lines; anything larger is not one.
inline constexpr size_t kMaxPolicyBytes = 1024 * 1024;

// A policy file split into what its signature covers and the signature.
struct PolicyScript {
    std::wstring text;               // the text before the block, without the byte-order mark
    size_t signedBytes = 0;          // the file's leading bytes the signature covers
    std::vector<uint8_t> signature;  // the block's content, decoded (a PKCS #7 SignedData)
};

// Splits policy-file bytes; false with `reason` (why the file is not used)
// when they are not UTF-16 text ending in exactly one signature block.
[[nodiscard]] bool SplitPolicyScript(const std::vector<uint8_t>& bytes, PolicyScript& script, std::wstring& reason);

// The sections of a policy text. Lines are trimmed of blanks and tabs; a line
// of two characters or more in brackets opens the section it names, every
// other non-empty line belongs to the section above it (none: ignored).
// "VER" must hold exactly one line, a decimal version.
struct PolicySections {
    std::map<std::wstring, std::vector<std::wstring>> sections;
    uint32_t version = 0;
};
[[nodiscard]] bool ParsePolicySections(const std::wstring& text, PolicySections& policy, std::wstring& reason);

// A decimal number of one or more digits 0-9 and nothing else, that fits 32 bits.
[[nodiscard]] bool ParseDecimalVersion(const std::wstring& text, uint32_t& value);

// A root thumbprint line: exactly 40 hex digits, two a byte. False for
// anything else (such a line matches no certificate).
[[nodiscard]] bool ParseThumbprintText(const std::wstring& line, uint8_t (&bytes)[20]);

// A serial number as blocked lists are compared: leading zero bytes (and so
// leading zero digits) removed, lower case. "000A0B0C0D", "0a0b0c0d" and
// "A0B0C0D" are one number.
std::wstring NormalisedSerialText(const std::wstring& hex);
