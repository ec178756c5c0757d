// The accepted-signer policy as one check: the built-in policy, the
// process-wide cache of the installed policy file, and VerifyWithPolicy,
// which judges a file's signers with whichever of them is in use. Both the
// file-trust check and the validation library's loader ask it; it asks
// neither of them.
#pragma once

#include "common/Platform.h"

#include "trust/SignerCheck.h"

class CPolicyCache;

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

// The process-wide cache of the installed policy file.
CPolicyCache& PolicyCache();

// True when the file satisfies the built-in policy (the lists given), or the
// cached policy file once one is loaded. A process loads the installed policy
// file on the first file the built-in policy refuses, uses it instead of the
// built-in lists from then on, and loads it again when a file is refused while
// the update atom exists.
bool VerifyWithPolicy(LPCWSTR path, DWORD builtInVersion, const LPCWSTR* publisherNames,
                      const RootThumbprint* rootThumbprints, DWORD thumbprintCount, const LPCWSTR* blockedSerials);
