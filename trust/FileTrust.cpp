#include "common/Platform.h"

#include "trust/FileTrust.h"

#include "common/HeldFile.h"
#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "trust/CabinetReader.h"
#include "trust/NotComDll.h"
#include "trust/PolicyCache.h"
#include "trust/PolicyCheck.h"
#include "trust/TrustEnvironment.h"
#include "trust/TrustReport.h"

#include <shlwapi.h>

#include <string>

bool VerifyWithCabinetRefresh(CTrustEnvironment& environment, LPCWSTR path, DWORD builtInVersion,
                              const LPCWSTR* publisherNames, const RootThumbprint* rootThumbprints,
                              DWORD thumbprintCount, const LPCWSTR* blockedSerials)
{
    CPolicyCache& policies = environment.PolicyCache();
    ITrustObserver* const observer = environment.Observer();
    if (VerifyWithPolicy(policies, observer, path, builtInVersion, publisherNames, rootThumbprints, thumbprintCount,
                         blockedSerials)) {
        return true;
    }
    if (::CompareStringOrdinal(::PathFindExtensionW(path), -1, L".cab", -1, TRUE) != CSTR_EQUAL) return false;
    // The cabinet is held from its extraction to its second judgement, which
    // judges the held file by its own path: what was extracted is what is
    // judged again, however long the install took.
    CHeldFile held;
    ScopedModule cabinet(::LoadLibraryExW(L"Cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!held.Hold(path) || !cabinet) return false;
    PolicyExtraction extraction;
    if (!ExtractPolicy(cabinet.Get(), held.Handle(), extraction)) {
        if (!extraction.refusal.empty()) {
            QEL_LOG(LOG_WARNING, L"Cabinet %s: no policy file taken from it: %s", path, extraction.refusal.c_str());
            if (observer) {
                observer->PolicyFileNote(path, L"no policy file taken from it: " + extraction.refusal);
            }
        }
        return false;
    }
    const bool installed = policies.Offer(extraction.bytes, std::wstring(path) + L" (trusted.js)",
                                          environment.InstallsPolicies());
    return installed &&
           VerifyWithPolicy(policies, observer, held.Path().c_str(), builtInVersion, publisherNames, rootThumbprints,
                            thumbprintCount, blockedSerials) &&
           held.StillNamed();
}

bool VerifyWithCabinetRefresh(LPCWSTR path, DWORD builtInVersion, const LPCWSTR* publisherNames,
                              const RootThumbprint* rootThumbprints, DWORD thumbprintCount,
                              const LPCWSTR* blockedSerials)
{
    return VerifyWithCabinetRefresh(CTrustEnvironment::Default(), path, builtInVersion, publisherNames,
                                    rootThumbprints, thumbprintCount, blockedSerials);
}

DWORD VerifyFileTrust(CTrustEnvironment& environment, LPCWSTR path)
{
    if (!path || !*path) return ERROR_INVALID_PARAMETER;
    if (IsVouchedByValidationLibrary(environment.ValidationContext(), path, environment.Observer())) {
        return ERROR_SUCCESS;
    }
    const BuiltInPolicy& policy = BuiltInTrustPolicy();
    return VerifyWithCabinetRefresh(environment, path, policy.version, policy.publisherNames, policy.rootThumbprints,
                                    policy.thumbprintCount, policy.blockedSerials)
               ? ERROR_SUCCESS
               : ERROR_ACCESS_DENIED;
}

DWORD VerifyFileTrust(LPCWSTR path) { return VerifyFileTrust(CTrustEnvironment::Default(), path); }
