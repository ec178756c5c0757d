// A signer's time stamp, read and checked by the program itself: a legacy
// counter-signature or an RFC 3161 time-stamp token among its unauthenticated
// attributes, which dates the signature only when every check of it holds.
#pragma once

#include "common/Platform.h"

#include <wincrypt.h>

namespace signature_crypto {

// A signer's time stamp as it was judged. `time` is zero unless a stamp was
// found and every check of it passed; `problem` then says why it did not.
struct TimeStamp {
    bool found = false;
    bool verified = false;
    FILETIME time{};
    const wchar_t* problem = nullptr;
};

// Reads and checks the first time stamp among a signer's unauthenticated
// attributes: a legacy counter-signature (its certificate looked for in
// `store`) or an RFC 3161 token. A stamp gives the signer its time only when
// its own signature holds, it covers this signer's encrypted digest, and its
// certificate chains at the stamped time, for time stamping, to a root the
// machine trusts, with no certificate on that chain in `blockedSerials`. False
// only when the stamp cannot be decoded at all.
[[nodiscard]]
bool ReadTimeStamp(const CRYPT_ATTRIBUTES* unauthenticated, const CMSG_SIGNER_INFO& signer, HCERTSTORE store,
                   const LPCWSTR* blockedSerials, TimeStamp& stamp);

}  // namespace signature_crypto
