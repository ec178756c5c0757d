// The code-signature check of a companion file: is it signed by the
// framework's publishers? The platform's trust-validation library is asked
// first; if it does not vouch for the file, the file's Authenticode signature
// is checked against the accepted-signer policy: the built-in one, or the
// signed policy file "trusted.js" once this process has loaded it, which a
// signed cabinet can bring up to date.
#pragma once

#include "common/Platform.h"

#include "trust/PolicyCheck.h"

class CTrustEnvironment;

// 0: trusted; 87 (ERROR_INVALID_PARAMETER): null or empty path; 5
// (ERROR_ACCESS_DENIED): not trusted.
//
// The check judges what its caller holds open. A verdict is about the file
// the path names while the check runs, so a caller holds that file from
// before the call until it has used the verdict: opened sharing only reads,
// named by its own path with every folder on it held (CHeldFile), and the
// path confirmed to still name it before the file is used. The launcher, the
// validation library's loader, a cabinet's second judgement after its policy
// is installed and the support tool all do so; a verdict on a path nobody
// holds says nothing about what that path names a moment later.
//
// The program judges with its own environment (CTrustEnvironment::Default);
// the support tool and the tests hand in theirs.
DWORD VerifyFileTrust(LPCWSTR path);
DWORD VerifyFileTrust(CTrustEnvironment& environment, LPCWSTR path);

// VerifyWithPolicy, and for a refused cabinet (".cab") the refresh: a
// "trusted.js" inside it is offered as a newer policy file, and once it is
// installed the cabinet is judged again. An environment that does not install
// policies (the support tool's, unless asked) judges and reports the
// candidate, and the cabinet stays refused.
bool VerifyWithCabinetRefresh(CTrustEnvironment& environment, LPCWSTR path, DWORD builtInVersion,
                              const LPCWSTR* publisherNames, const RootThumbprint* rootThumbprints,
                              DWORD thumbprintCount, const LPCWSTR* blockedSerials);
bool VerifyWithCabinetRefresh(LPCWSTR path, DWORD builtInVersion, const LPCWSTR* publisherNames,
                              const RootThumbprint* rootThumbprints, DWORD thumbprintCount,
                              const LPCWSTR* blockedSerials);
