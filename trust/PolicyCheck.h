// The accepted-signer policy as one check: the built-in policy, a cache of
// the installed policy file, and VerifyWithPolicy, which judges a file's
// signers with whichever of them is in use. Both the file-trust check and the
// validation library's loader ask it; it asks neither of them.
#pragma once

#include "common/Platform.h"

#include "trust/SignerCheck.h"

class CPolicyCache;
class ITrustObserver;

// The built-in policy: version 5, the two publishers, their four pinned roots
// (the build's deployment data), no blocked serial number.
struct BuiltInPolicy {
    DWORD version;
    const LPCWSTR* publisherNames;
    const RootThumbprint* rootThumbprints;
    DWORD thumbprintCount;
    const LPCWSTR* blockedSerials;
};
const BuiltInPolicy& BuiltInTrustPolicy();

// True when the file satisfies the built-in policy (the lists given), or the
// policy file cached in `cache` once one is loaded. A cache loads the
// installed policy file on the first file the built-in policy refuses, uses it
// instead of the built-in lists from then on, and loads it again when a file
// is refused while the update atom exists. `observer` (null: nobody) hears
// which policy judged the file and what each signer showed; what the cache
// notes of the policy file goes to the cache's own observer.
bool VerifyWithPolicy(CPolicyCache& cache, ITrustObserver* observer, LPCWSTR path, DWORD builtInVersion,
                      const LPCWSTR* publisherNames, const RootThumbprint* rootThumbprints, DWORD thumbprintCount,
                      const LPCWSTR* blockedSerials);
// The same with the program's environment (CTrustEnvironment::Default).
bool VerifyWithPolicy(LPCWSTR path, DWORD builtInVersion, const LPCWSTR* publisherNames,
                      const RootThumbprint* rootThumbprints, DWORD thumbprintCount, const LPCWSTR* blockedSerials);
