#include "common/Platform.h"

#include "process/FileTrust.h"

#include "common/UniqueHandle.h"
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
CPolicyCache g_policyCache(trust_anchors::kPolicySignerThumbprint);

std::atomic<ITrustObserver*> g_observer{nullptr};

// ---- The cabinet refresh: FDI, with the file operations it asks for. ----

using FdiCreateFn = decltype(&FDICreate);
using FdiCopyFn = decltype(&FDICopy);
using FdiDestroyFn = decltype(&FDIDestroy);

constexpr char kPolicyEntry[] = "trusted.js";

FNALLOC(FdiAlloc) { return ::HeapAlloc(::GetProcessHeap(), 0, cb); }
FNFREE(FdiFree) { ::HeapFree(::GetProcessHeap(), 0, pv); }

FNOPEN(FdiOpen)
{
    (void)pmode;
    const bool write = (oflag & (_O_WRONLY | _O_RDWR)) != 0;
    const HANDLE file = ::CreateFileA(pszFile, write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, (oflag & _O_CREAT) ? CREATE_ALWAYS : OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(file);
}

FNREAD(FdiRead)
{
    DWORD done = 0;
    return ::ReadFile(reinterpret_cast<HANDLE>(hf), pv, cb, &done, nullptr) ? done : static_cast<UINT>(-1);
}

FNWRITE(FdiWrite)
{
    DWORD done = 0;
    return ::WriteFile(reinterpret_cast<HANDLE>(hf), pv, cb, &done, nullptr) ? done : static_cast<UINT>(-1);
}

FNCLOSE(FdiClose) { return ::CloseHandle(reinterpret_cast<HANDLE>(hf)) ? 0 : -1; }

FNSEEK(FdiSeek)
{
    return static_cast<__LONG32>(::SetFilePointer(reinterpret_cast<HANDLE>(hf), dist, nullptr, seektype));
}

// Where the cabinet's "trusted.js" went; empty while none was extracted.
struct Extraction {
    std::string path;
};

// Extracts only "trusted.js", to a fresh temporary file with the ".js"
// extension (policy scripts are recognised by it).
FNFDINOTIFY(FdiNotify)
{
    auto* extraction = static_cast<Extraction*>(pfdin->pv);
    switch (fdint) {
    case fdintCOPY_FILE: {
        if (!pfdin->psz1 || ::lstrcmpiA(pfdin->psz1, kPolicyEntry) != 0) return 0;  // skipped
        char folder[MAX_PATH];
        char name[MAX_PATH];
        const DWORD n = ::GetTempPathA(MAX_PATH, folder);
        if (n == 0 || n >= MAX_PATH || !::GetTempFileNameA(folder, "trustedjs", 0, name)) return -1;
        ::DeleteFileA(name);  // the name is all that is wanted
        std::string path(name);
        const size_t dot = path.find_last_of('.');
        path = (dot == std::string::npos ? path : path.substr(0, dot)) + ".js";
        const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return -1;
        extraction->path = path;
        return reinterpret_cast<INT_PTR>(file);
    }
    case fdintCLOSE_FILE_INFO:
        ::CloseHandle(reinterpret_cast<HANDLE>(pfdin->hf));
        // The cabinet's attributes: read-only, hidden, system, archive.
        ::SetFileAttributesA(extraction->path.c_str(), pfdin->attribs & 0x27);
        return TRUE;
    default:
        return 0;
    }
}

// Extracts the cabinet's "trusted.js" into a temporary file; empty when the
// cabinet has none or cannot be read.
std::wstring ExtractPolicy(HMODULE cabinet, LPCWSTR path)
{
    const auto create = reinterpret_cast<FdiCreateFn>(reinterpret_cast<void*>(::GetProcAddress(cabinet, "FDICreate")));
    const auto copy = reinterpret_cast<FdiCopyFn>(reinterpret_cast<void*>(::GetProcAddress(cabinet, "FDICopy")));
    const auto destroy = reinterpret_cast<FdiDestroyFn>(reinterpret_cast<void*>(::GetProcAddress(cabinet, "FDIDestroy")));
    if (!create || !copy || !destroy) return std::wstring();

    // FDI takes narrow names: the folder (with its backslash) and the file.
    const std::wstring wide(path);
    const size_t slash = wide.find_last_of(L"\\/");
    const auto narrow = [](const std::wstring& text) {
        const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string out(bytes > 0 ? bytes : 1, '\0');
        if (bytes > 0) ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
        out.resize(out.size() - 1);
        return out;
    };
    std::string folder = slash == std::wstring::npos ? std::string() : narrow(wide.substr(0, slash + 1));
    std::string name = narrow(slash == std::wstring::npos ? wide : wide.substr(slash + 1));

    ERF error{};
    const HFDI fdi = create(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &error);
    if (!fdi) return std::wstring();
    Extraction extraction;
    copy(fdi, name.data(), folder.data(), 0, FdiNotify, nullptr, &extraction);
    destroy(fdi);
    if (extraction.path.empty()) return std::wstring();
    const int chars = ::MultiByteToWideChar(CP_ACP, 0, extraction.path.c_str(), -1, nullptr, 0);
    std::wstring extracted(chars > 0 ? chars : 1, L'\0');
    if (chars > 0) ::MultiByteToWideChar(CP_ACP, 0, extraction.path.c_str(), -1, extracted.data(), chars);
    extracted.resize(extracted.size() - 1);
    return extracted;
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
    if (cache.IsLoaded()) {
        if (cache.VerifyWithCached(path)) return true;
        // Refused by the cached copy: worth another look only when some
        // process has installed a newer file since.
        if (!PolicyUpdateSignalled() || !cache.Reload()) return false;
        return cache.VerifyWithCached(path);
    }
    if (ITrustObserver* observer = TrustObserver()) observer->Policy(L"built-in", builtInVersion);
    if (VerifySignedFile(path, publisherNames, rootThumbprints, thumbprintCount, blockedSerials)) return true;
    if (!cache.Load()) return false;
    // A policy file no newer than the built-in policy adds nothing here.
    if (cache.Version() <= builtInVersion) {
        if (ITrustObserver* observer = TrustObserver()) {
            observer->PolicyFileNote(cache.Path(), L"not used for this file: its version " +
                                                       std::to_wstring(cache.Version()) +
                                                       L" is not newer than the built-in policy's");
        }
        return false;
    }
    return cache.VerifyWithCached(path);
}

bool VerifyWithCabinetRefresh(LPCWSTR path, DWORD builtInVersion, const LPCWSTR* publisherNames,
                              const RootThumbprint* rootThumbprints, DWORD thumbprintCount,
                              const LPCWSTR* blockedSerials)
{
    if (VerifyWithPolicy(path, builtInVersion, publisherNames, rootThumbprints, thumbprintCount, blockedSerials)) {
        return true;
    }
    if (::CompareStringOrdinal(::PathFindExtensionW(path), -1, L".cab", -1, TRUE) != CSTR_EQUAL) return false;

    ScopedModule cabinet(::LoadLibraryExW(L"Cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!cabinet) return false;
    const std::wstring candidate = ExtractPolicy(cabinet.Get(), path);
    if (candidate.empty() || !::PathFileExistsW(candidate.c_str())) return false;
    const bool installed = PolicyCache().Offer(candidate, builtInVersion);
    ::SetFileAttributesW(candidate.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only copy can still be removed
    ::DeleteFileW(candidate.c_str());
    return installed &&
           VerifyWithPolicy(path, builtInVersion, publisherNames, rootThumbprints, thumbprintCount, blockedSerials);
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
