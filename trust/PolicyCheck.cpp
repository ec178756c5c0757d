#include "common/Platform.h"

#include "trust/PolicyCheck.h"

#include "trust/PolicyCache.h"
#include "trust/TrustAnchors.h"
#include "trust/TrustEnvironment.h"
#include "trust/TrustReport.h"

#include <iterator>
#include <string>
#include <vector>

namespace {

// The built-in policy: version 5, the two publishers, their four roots (the
// build's deployment data), nothing blocked (a present, empty list).
constexpr DWORD kBuiltInVersion = 5;
constexpr LPCWSTR kPublisherNames[] = {L"Orvel Corporation", L"Tarsen, Inc.", nullptr};
constexpr LPCWSTR kNoBlockedSerials[] = {nullptr};

constexpr RootThumbprint Pinned(const BYTE (&bytes)[20])
{
    RootThumbprint thumbprint;
    for (int i = 0; i < 20; ++i) thumbprint.bytes[i] = bytes[i];
    thumbprint.size = 20;
    return thumbprint;
}
constexpr RootThumbprint kRootThumbprints[] = {
    Pinned(trust_anchors::kRootThumbprints[0]), Pinned(trust_anchors::kRootThumbprints[1]),
    Pinned(trust_anchors::kRootThumbprints[2]), Pinned(trust_anchors::kRootThumbprints[3])};

constexpr BuiltInPolicy kBuiltIn = {kBuiltInVersion, kPublisherNames, kRootThumbprints,
                                    static_cast<DWORD>(std::size(kRootThumbprints)), kNoBlockedSerials};

// VerifySignedFile with a policy file's own lists.
bool VerifyWithSnapshot(LPCWSTR path, const CTrustedPolicy& policy, ITrustObserver* observer)
{
    if (observer) observer->Policy(policy.source, policy.version);
    const AcceptedSigners& lists = policy.Signers();
    return VerifySignedFile(path, lists.publisherNames, lists.rootThumbprints, lists.thumbprintCount,
                            lists.blockedSerials, observer);
}

// A blocked list together with the installed policy file's, which applies to
// every verification whichever lists accept the file.
std::vector<LPCWSTR> BlockedTogether(const LPCWSTR* own, const PolicySnapshot& installed)
{
    std::vector<LPCWSTR> all;
    for (const LPCWSTR* entry = own; entry && *entry; ++entry) all.push_back(*entry);
    if (installed && installed->hasSerials) {
        for (const std::wstring& serial : installed->serials) all.push_back(serial.c_str());
    }
    all.push_back(nullptr);
    return all;
}

}  // namespace

const BuiltInPolicy& BuiltInTrustPolicy() { return kBuiltIn; }

bool VerifyWithPolicy(LPCWSTR path, DWORD builtInVersion, const LPCWSTR* publisherNames,
                      const RootThumbprint* rootThumbprints, DWORD thumbprintCount, const LPCWSTR* blockedSerials)
{
    CTrustEnvironment& program = CTrustEnvironment::Default();
    return VerifyWithPolicy(program.PolicyCache(), program.Observer(), path, builtInVersion, publisherNames,
                            rootThumbprints, thumbprintCount, blockedSerials);
}

bool VerifyWithPolicy(CPolicyCache& cache, ITrustObserver* observer, LPCWSTR path, DWORD builtInVersion,
                      const LPCWSTR* publisherNames, const RootThumbprint* rootThumbprints, DWORD thumbprintCount,
                      const LPCWSTR* blockedSerials)
{
    // The first verification of a process reads the installed file: its
    // blocked list applies from the very first file on. A file that is there
    // but cannot be read, with no verified copy of it kept, leaves nothing to
    // judge with: then no file is trusted (CPolicyCache::Refusing).
    const bool readNow = cache.ReadOnce();
    if (cache.Refusing()) return false;
    if (const PolicySnapshot inUse = cache.InUse()) {
        if (VerifyWithSnapshot(path, *inUse, observer)) return true;
        // Refused by the cached copy: worth another look only when some
        // process has installed a newer file since.
        if (!PolicyUpdateSignalled() || !cache.Reload()) return false;
        return VerifyWithSnapshot(path, *cache.InUse(), observer);
    }
    if (observer) observer->Policy(L"built-in", builtInVersion);
    const PolicySnapshot installed = cache.Installed();
    const std::vector<LPCWSTR> blocked = BlockedTogether(blockedSerials, installed);
    if (VerifySignedFile(path, publisherNames, rootThumbprints, thumbprintCount,
                         blockedSerials || installed ? blocked.data() : nullptr, observer)) {
        return true;
    }
    if (!cache.Load(!readNow)) return false;
    const PolicySnapshot loaded = cache.InUse();
    // A policy file no newer than the built-in policy adds nothing here.
    if (loaded->version <= builtInVersion) {
        if (observer) {
            observer->PolicyFileNote(cache.Path(), L"not used for this file: its version " +
                                                       std::to_wstring(loaded->version) +
                                                       L" is not newer than the built-in policy's");
        }
        return false;
    }
    return VerifyWithSnapshot(path, *loaded, observer);
}
