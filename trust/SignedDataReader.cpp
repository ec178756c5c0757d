#include "trust/SignedDataReader.h"

namespace der {

bool ReadTstInfo(const Span& encoded, TstInfo& info)
{
    Span in = encoded, tst{}, field{}, imprint{}, algorithm{}, oid{};
    if (!ReadExpected(in, 0x30, tst) || in.size != 0) return false;
    if (!ReadExpected(tst, 0x02, field) || !ReadExpected(tst, 0x06, field)) return false;  // version, policy
    if (!ReadExpected(tst, 0x30, imprint) || !ReadExpected(imprint, 0x30, algorithm) ||
        !ReadExpected(algorithm, 0x06, oid) || !OidText(oid, info.imprintHashOid) ||
        !ReadExpected(imprint, 0x04, info.imprint)) {
        return false;
    }
    if (!ReadExpected(tst, 0x02, field) || !ReadExpected(tst, 0x18, field)) return false;  // serialNumber, genTime
    return ReadGeneralizedTime(field, info.genTime);
}

bool ContentValue(const Span& content, Span& value)
{
    Span in = content, inner{};
    uint8_t tag = 0;
    if (!ReadElement(in, tag, inner) || in.size != 0) return false;
    value = inner;
    return true;
}

bool OctetStringValue(const Span& encoded, Span& value)
{
    Span in = encoded, inner{};
    if (!ReadExpected(in, 0x04, inner) || in.size != 0) return false;
    value = inner;
    return true;
}

}  // namespace der
