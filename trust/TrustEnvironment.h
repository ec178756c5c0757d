// What a signature check judges with and reports to: the cache of the
// installed policy file, the trust-validation library's context, the observer
// that hears what each step saw, and whether a refused cabinet's newer policy
// file is installed. Every check is handed its environment; nothing of it is
// chosen through the process's globals.
//
// The program judges with its default environment (VerifyFileTrust(path)):
// made before the entry point runs and kept until the process ends, like the
// policy cache it holds, with its validation context made once for the
// process, on the first file judged. The support tool and the tests make
// their own, so that what they choose (an observer, no install, a fresh
// cache) never reaches the program's or another caller's.
#pragma once

#include "common/Platform.h"

#include "trust/NotComDll.h"
#include "trust/PolicyCache.h"

#include <mutex>

class ITrustObserver;

class CTrustEnvironment {
public:
    // `observer` (null: nobody) hears what each step saw, and must outlive
    // the environment. `installPolicies`: a refused cabinet's newer
    // "trusted.js" is installed, and every good read of the installed one is
    // kept in the machine's records (the program: always). Without it the
    // machine is left as it is: a candidate is judged and reported only.
    // `waits`: how long another process's hold on the installed policy file is
    // waited for (the program: 2 s to read it, 5 s to replace it); a test that
    // replays files held for longer than any run shortens them.
    explicit CTrustEnvironment(ITrustObserver* observer = nullptr, bool installPolicies = true, PolicyWaits waits = {});
    CTrustEnvironment(const CTrustEnvironment&) = delete;
    CTrustEnvironment& operator=(const CTrustEnvironment&) = delete;

    // The program's environment: no observer, newer policies installed.
    static CTrustEnvironment& Default();

    ITrustObserver* Observer() const { return m_observer; }
    bool InstallsPolicies() const { return m_installPolicies; }
    // The installed policy file as this environment has read it: the built-in
    // policy, the build's policy-signing certificate.
    CPolicyCache& PolicyCache() { return m_policyCache; }
    // Made on the first call, once whichever thread comes first: the platform
    // version and the library's interface, the library's own signer judged
    // with this environment's policy cache (CreateTrustValidationContext).
    const CTrustValidationContext& ValidationContext();

private:
    ITrustObserver* const m_observer;
    const bool m_installPolicies;
    CPolicyCache m_policyCache;
    std::once_flag m_contextMade;
    CTrustValidationContext m_context;
};
