// The check of one file's Authenticode signature against an accepted-signer
// policy: publisher names, root-certificate thumbprints and blocked serial
// numbers. The signature is read only from a signature area that holds it and
// nothing else (SignatureArea.h). The file is trusted when one of its signers
// passes every step: not blocked, an accepted publisher name, its own
// signature over the file's signed content, a valid code-signing chain at its
// verified time stamp's time (or now; a stamp counts only when no certificate
// on its own chain is blocked) that ends in an accepted root on a path that
// holds by itself, the Authenticode time-stamp chain policy, and WinVerifyTrust
// on the file.
#pragma once

#include "common/Platform.h"

#include "trust/SignedMessage.h"

#include <wincrypt.h>

class ITrustObserver;

// A root certificate's SHA-1 thumbprint as a policy lists it. `size` is 20 for
// a usable entry; a policy file line that is not a hex number of 40 digits
// keeps its place in the list with size 0 and matches no certificate.
struct RootThumbprint {
    BYTE bytes[20] = {};
    DWORD size = 0;
};

// A policy's lists. A missing list (null) and an empty one differ:
// - publisher names (null-terminated, compared without case with the signer
//   certificate's display name): missing accepts any name, empty none;
// - root thumbprints (with their count): missing or empty accepts any root;
// - blocked serial numbers (null-terminated hex text, compared without case):
//   a signer whose certificate serial number is listed is skipped.
struct AcceptedSigners {
    const LPCWSTR* publisherNames = nullptr;
    const RootThumbprint* rootThumbprints = nullptr;
    DWORD thumbprintCount = 0;
    const LPCWSTR* blockedSerials = nullptr;
};

// True when one signer of the file at `path` satisfies the policy.
// `observer` (null: nobody) hears why the signature could not be read, or
// what each signer showed.
bool VerifySignedFile(LPCWSTR path, const LPCWSTR* publisherNames, const RootThumbprint* rootThumbprints,
                      DWORD thumbprintCount, const LPCWSTR* blockedSerials, ITrustObserver* observer = nullptr);

// The signer loop of VerifySignedFile over `message`, for the file at `path`
// (which WinVerifyTrust judges for each signer that gets that far).
[[nodiscard]] bool VerifySigners(ISignedMessage& message, LPCWSTR path, const AcceptedSigners& policy,
                   ITrustObserver* observer = nullptr);
