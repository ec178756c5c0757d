#include "common/Platform.h"

#include "trust/FileTrust.h"

#include "common/HeldFile.h"
#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "trust/CabinetReader.h"
#include "trust/NotComDll.h"
#include "trust/PolicyCache.h"
#include "trust/PolicyCheck.h"
#include "trust/TrustReport.h"

#include <shlwapi.h>

#include <atomic>
#include <string>

namespace {

std::atomic<bool> g_installPolicies{true};

}  // namespace

bool VerifyWithCabinetRefresh(LPCWSTR path, DWORD builtInVersion, const LPCWSTR* publisherNames,
                              const RootThumbprint* rootThumbprints, DWORD thumbprintCount,
                              const LPCWSTR* blockedSerials)
{
    if (VerifyWithPolicy(path, builtInVersion, publisherNames, rootThumbprints, thumbprintCount, blockedSerials)) {
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
            if (ITrustObserver* observer = TrustObserver()) {
                observer->PolicyFileNote(path, L"no policy file taken from it: " + extraction.refusal);
            }
        }
        return false;
    }
    const bool installed = PolicyCache().Offer(extraction.bytes, std::wstring(path) + L" (trusted.js)", g_installPolicies);
    return installed &&
           VerifyWithPolicy(held.Path().c_str(), builtInVersion, publisherNames, rootThumbprints, thumbprintCount,
                            blockedSerials) &&
           held.StillNamed();
}

void SetPolicyInstall(bool enabled)
{
    g_installPolicies = enabled;
    PolicyCache().SetRecording(enabled);
}

DWORD VerifyFileTrust(LPCWSTR path)
{
    if (!path || !*path) return ERROR_INVALID_PARAMETER;
    if (IsVouchedByValidationLibrary(TrustValidationContext(), path)) return ERROR_SUCCESS;
    const BuiltInPolicy& policy = BuiltInTrustPolicy();
    return VerifyWithCabinetRefresh(path, policy.version, policy.publisherNames, policy.rootThumbprints,
                                    policy.thumbprintCount, policy.blockedSerials)
               ? ERROR_SUCCESS
               : ERROR_ACCESS_DENIED;
}
