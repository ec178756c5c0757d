#include "common/Platform.h"

#include "process/FileTrust.h"

#include "common/HeldFile.h"
#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "process/NotComDll.h"
#include "process/TrustAnchors.h"
#include "process/TrustReport.h"
#include "process/TrustedPolicy.h"

#include <fcntl.h>
#include <fdi.h>
#include <shlwapi.h>

#include <atomic>
#include <string>

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

// Made before the entry point runs, lives until the process ends.
CPolicyCache g_policyCache(trust_anchors::kPolicySignerThumbprint, kBuiltInVersion);

std::atomic<ITrustObserver*> g_observer{nullptr};
std::atomic<bool> g_installPolicies{true};

// ---- The cabinet refresh: FDI, with the file operations it asks for. ----
//
// Only the cabinet itself is a file here, and it is read through the handle
// that holds it; the "trusted.js" entry is extracted into memory, so what is
// judged and installed are the very bytes the held cabinet holds, and nobody
// can plant or swap a file in between.

using FdiCreateFn = decltype(&FDICreate);
using FdiCopyFn = decltype(&FDICopy);
using FdiDestroyFn = decltype(&FDIDestroy);

constexpr char kPolicyEntry[] = "trusted.js";

// What an FDI "file handle" stands for: the cabinet on disk, or the memory an
// entry is extracted into.
struct FdiStream {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::vector<BYTE>* sink = nullptr;
};

// The cabinet's "trusted.js", and why there is none.
struct Extraction {
    std::vector<BYTE> bytes;
    bool found = false;     // the first "trusted.js" entry was extracted whole
    std::wstring refusal;   // the cabinet is refused as a whole
};

FNALLOC(FdiAlloc) { return ::HeapAlloc(::GetProcessHeap(), 0, cb); }
FNFREE(FdiFree) { ::HeapFree(::GetProcessHeap(), 0, pv); }

FdiStream* Stream(INT_PTR hf) { return reinterpret_cast<FdiStream*>(hf); }

// The held cabinet of the extraction running on this thread. FDI names the
// file it opens; the name is not used: nothing but the held cabinet is read.
thread_local HANDLE t_cabinet = nullptr;

// FDI opens nothing but the cabinet, and only to read it.
FNOPEN(FdiOpen)
{
    (void)pszFile;
    (void)pmode;
    HANDLE file = nullptr;
    if ((oflag & (_O_WRONLY | _O_RDWR | _O_CREAT)) || !t_cabinet ||
        !::DuplicateHandle(::GetCurrentProcess(), t_cabinet, ::GetCurrentProcess(), &file, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return -1;
    }
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    auto* stream = new FdiStream;
    stream->file = file;
    return reinterpret_cast<INT_PTR>(stream);
}

FNREAD(FdiRead)
{
    DWORD done = 0;
    const FdiStream* stream = Stream(hf);
    if (stream->sink) return static_cast<UINT>(-1);
    return ::ReadFile(stream->file, pv, cb, &done, nullptr) ? done : static_cast<UINT>(-1);
}

// An entry grows in memory up to the policy file limit; past it the copy fails.
FNWRITE(FdiWrite)
{
    FdiStream* stream = Stream(hf);
    if (!stream->sink || stream->sink->size() + cb > kMaxPolicyBytes) return static_cast<UINT>(-1);
    const BYTE* bytes = static_cast<const BYTE*>(pv);
    stream->sink->insert(stream->sink->end(), bytes, bytes + cb);
    return cb;
}

FNCLOSE(FdiClose)
{
    FdiStream* stream = Stream(hf);
    const bool closed = !stream->sink ? ::CloseHandle(stream->file) != FALSE : true;
    delete stream;
    return closed ? 0 : -1;
}

FNSEEK(FdiSeek)
{
    const FdiStream* stream = Stream(hf);
    if (stream->sink) return -1;
    return static_cast<__LONG32>(::SetFilePointer(stream->file, dist, nullptr, seektype));
}

// Extracts the first "trusted.js" into memory; skips every other entry.
// A cabinet that belongs to a set (continued from or into another one) and an
// entry larger than a policy file can be are refused.
FNFDINOTIFY(FdiNotify)
{
    auto* extraction = static_cast<Extraction*>(pfdin->pv);
    switch (fdint) {
    case fdintCABINET_INFO:
        if (pfdin->iCabinet != 0 || (pfdin->psz1 && *pfdin->psz1)) {
            extraction->refusal = L"it is one of a set of cabinets";
            return -1;
        }
        return 0;
    case fdintPARTIAL_FILE:
    case fdintNEXT_CABINET:
        extraction->refusal = L"it continues another cabinet";
        return -1;
    case fdintCOPY_FILE: {
        if (!pfdin->psz1 || ::lstrcmpiA(pfdin->psz1, kPolicyEntry) != 0 || extraction->found) return 0;  // skipped
        if (pfdin->cb > static_cast<long>(kMaxPolicyBytes) || pfdin->cb < 0) {
            extraction->refusal = L"its trusted.js is larger than a policy file can be";
            return -1;
        }
        extraction->bytes.clear();
        auto* stream = new FdiStream;
        stream->sink = &extraction->bytes;
        return reinterpret_cast<INT_PTR>(stream);
    }
    case fdintCLOSE_FILE_INFO:
        FdiClose(pfdin->hf);
        extraction->found = true;
        return TRUE;
    default:
        return 0;
    }
}

// The held cabinet's first "trusted.js", into `extraction`; false (with the
// refusal, if any) when it has none that can be used.
bool ExtractPolicy(HMODULE cabinet, HANDLE held, Extraction& extraction)
{
    const auto create = reinterpret_cast<FdiCreateFn>(reinterpret_cast<void*>(::GetProcAddress(cabinet, "FDICreate")));
    const auto copy = reinterpret_cast<FdiCopyFn>(reinterpret_cast<void*>(::GetProcAddress(cabinet, "FDICopy")));
    const auto destroy = reinterpret_cast<FdiDestroyFn>(reinterpret_cast<void*>(::GetProcAddress(cabinet, "FDIDestroy")));
    if (!create || !copy || !destroy) return false;

    ERF error{};
    const HFDI fdi = create(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &error);
    if (!fdi) return false;
    char name[] = "held.cab";
    char folder[] = "";
    t_cabinet = held;
    const BOOL copied = copy(fdi, name, folder, 0, FdiNotify, nullptr, &extraction);
    t_cabinet = nullptr;
    destroy(fdi);
    if (!copied && extraction.refusal.empty() && extraction.found) extraction.refusal = L"it cannot be read whole";
    return copied && extraction.refusal.empty() && extraction.found;
}

// VerifySignedFile with a policy file's own lists.
bool VerifyWithSnapshot(LPCWSTR path, const CTrustedPolicy& policy)
{
    if (ITrustObserver* observer = TrustObserver()) observer->Policy(policy.source, policy.version);
    const AcceptedSigners& lists = policy.Signers();
    return VerifySignedFile(path, lists.publisherNames, lists.rootThumbprints, lists.thumbprintCount,
                            lists.blockedSerials);
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

void SetTrustObserver(ITrustObserver* observer) { g_observer = observer; }
ITrustObserver* TrustObserver() { return g_observer; }

const BuiltInPolicy& BuiltInTrustPolicy() { return kBuiltIn; }
CPolicyCache& PolicyCache() { return g_policyCache; }

bool VerifyWithPolicy(LPCWSTR path, DWORD builtInVersion, const LPCWSTR* publisherNames,
                      const RootThumbprint* rootThumbprints, DWORD thumbprintCount, const LPCWSTR* blockedSerials)
{
    CPolicyCache& cache = PolicyCache();
    // The first verification of a process reads the installed file: its
    // blocked list applies from the very first file on. A file that is there
    // but cannot be read, with no verified copy of it kept, leaves nothing to
    // judge with: then no file is trusted (CPolicyCache::Refusing).
    const bool readNow = cache.ReadOnce();
    if (cache.Refusing()) return false;
    if (const PolicySnapshot inUse = cache.InUse()) {
        if (VerifyWithSnapshot(path, *inUse)) return true;
        // Refused by the cached copy: worth another look only when some
        // process has installed a newer file since.
        if (!PolicyUpdateSignalled() || !cache.Reload()) return false;
        return VerifyWithSnapshot(path, *cache.InUse());
    }
    if (ITrustObserver* observer = TrustObserver()) observer->Policy(L"built-in", builtInVersion);
    const PolicySnapshot installed = cache.Installed();
    const std::vector<LPCWSTR> blocked = BlockedTogether(blockedSerials, installed);
    if (VerifySignedFile(path, publisherNames, rootThumbprints, thumbprintCount,
                         blockedSerials || installed ? blocked.data() : nullptr)) {
        return true;
    }
    if (!cache.Load(!readNow)) return false;
    const PolicySnapshot loaded = cache.InUse();
    // A policy file no newer than the built-in policy adds nothing here.
    if (loaded->version <= builtInVersion) {
        if (ITrustObserver* observer = TrustObserver()) {
            observer->PolicyFileNote(cache.Path(), L"not used for this file: its version " +
                                                       std::to_wstring(loaded->version) +
                                                       L" is not newer than the built-in policy's");
        }
        return false;
    }
    return VerifyWithSnapshot(path, *loaded);
}

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
    Extraction extraction;
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
