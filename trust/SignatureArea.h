// Portable: no platform header; fuzz/ builds it with the host's compiler too.
// Where a signed program or cabinet keeps its signature, and whether that
// place holds the signature and nothing else. A program's certificate table
// (its security directory) and a cabinet's signature area are not covered by
// the file's digest: bytes hidden there after the signature would ride along
// with a genuine signature. Only the signature's encoding and the zeros that
// align it (at most 7) may be there, as Windows demands with its padding check
// switched on. Pure: the file is read through IByteSource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class IByteSource {
public:
    // `size` bytes from `offset`; false when the file does not hold them.
    virtual bool Read(uint64_t offset, size_t size, std::vector<uint8_t>& bytes) = 0;
    virtual uint64_t Size() = 0;

protected:
    ~IByteSource() = default;
};

// Why the file's signature area holds more than its signature; null when it
// holds only that, when the file carries no signature there, or when it is
// neither a program ("MZ") nor a cabinet ("MSCF").
const wchar_t* SignatureAreaProblem(IByteSource& file);

// The rule itself, on the area's bytes: one signature's DER encoding (after
// the 8-byte WIN_CERTIFICATE header of a certificate table, a signed-data
// entry of revision 2), then at most 7 bytes, all zero.
bool HoldsOnlySignature(const std::vector<uint8_t>& area, bool certificateTable);
