#include "common/Platform.h"

#include "trust/NotComDll.h"

#include "common/FileIdentity.h"
#include "common/HeldFile.h"
#include "common/LibraryLoader.h"
#include "common/UniqueHandle.h"
#include "trust/PolicyCheck.h"
#include "trust/TrustEnvironment.h"
#include "trust/TrustReport.h"
#include "trust/WinTrustFile.h"

#include <wintrust.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kHostFrameKey[] = L"Software\\Tarsen\\HostFrame";
constexpr REGSAM kHostFrameAccess = KEY_READ | KEY_WOW64_32KEY;  // 0x20219: the platform's 32-bit settings
constexpr wchar_t kInstallDirValue[] = L"szInstallDir32";
constexpr wchar_t kVersionValue[] = L"host_frame_version";
constexpr DWORD kVersionBytes = 128;

constexpr wchar_t kLibraryName[] = L"tsguard.dll";
constexpr char kInterfaceName[] = "GrdValidationControl";
constexpr char kExportName[] = "NotComDllGetInterface";

// The platform versions: the default, and the first that is asked differently.
constexpr DWORD kDefaultVersion = 1504;
constexpr DWORD kNewerVersion = 1505;
constexpr DWORD kFlagsBefore1505 = 4;
constexpr DWORD kFlagsFrom1505 = 512;
constexpr DWORD kVouchedWord0 = 0x2;
constexpr DWORD kVouchedWord1Before1505 = 0x1;
constexpr DWORD kVouchedWord1From1505 = 0x8;

// WinVerifyTrust for the library: the chain is judged, revocation is not
// looked up (WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE).
constexpr DWORD kLibraryProviderFlags = 0x1010;

// Results that still let the library load: the signature holds, only the
// machine's settings, an expired certificate or an unreachable revocation
// list stand against it.
bool Acceptable(LONG result)
{
    switch (static_cast<DWORD>(result)) {
    case 0:
    case 0x80092026:  // CRYPT_E_SECURITY_SETTINGS
    case 0x800B0101:  // CERT_E_EXPIRED
    case 0x800B010E:  // CERT_E_REVOCATION_FAILURE
        return true;
    default:
        return false;
    }
}

std::wstring ProgramPath()
{
    wchar_t path[MAX_PATH] = L"";
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

bool OpenHostFrameKey(ScopedRegKey& key)
{
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHostFrameKey, 0, kHostFrameAccess, key.Put()) == ERROR_SUCCESS;
}

// The install folder with its trailing backslash; empty when it cannot be read.
std::wstring InstallFolder()
{
    ScopedRegKey key;
    if (!OpenHostFrameKey(key)) return std::wstring();
    wchar_t folder[MAX_PATH];
    DWORD bytes = sizeof(folder);
    if (::RegGetValueW(key.Get(), nullptr, kInstallDirValue, RRF_RT_REG_SZ, nullptr, folder, &bytes) !=
            ERROR_SUCCESS) {
        return std::wstring();
    }
    std::wstring path(folder);
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path;
}

// WinVerifyTrust's answer for the library through its held handle (the file
// and every folder on its own path held, `path` becoming that path); a file
// that cannot be held answers as the platform would for a missing one.
LONG VerifyHeld(CWinTrustFile& trust, std::wstring& path, CHeldFile& held)
{
    if (!held.Hold(path)) {
        const DWORD error = ::GetLastError();
        return static_cast<LONG>(error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error);
    }
    path = held.Path();
    return trust.Verify(path.c_str(), kLibraryProviderFlags, WTD_STATEACTION_VERIFY, held.Handle());
}

// The library's signer must pass the program's own signer checks under the
// built-in policy, like a companion file: an accepted publisher on a pinned
// root, no blocked serial, a valid chain now or at a verified time stamp.
// The signature check is asked directly, never through the validation
// library being loaded here, and what it sees of the library's signers is
// told to nobody: this is not the file the observer asked about. What the
// cache finds reading the installed policy file (often read first here) is
// about the machine, and goes to the cache's own observer as always.
bool SignerAccepted(CPolicyCache& policies, const std::wstring& path)
{
    const BuiltInPolicy& policy = BuiltInTrustPolicy();
    return VerifyWithPolicy(policies, nullptr, path.c_str(), policy.version, policy.publisherNames,
                            policy.rootThumbprints, policy.thumbprintCount, policy.blockedSerials);
}

void ReportRefusal(const std::wstring& path, LONG result)
{
    wchar_t message[3 * MAX_PATH];
    _snwprintf(message, std::size(message) - 1, L"NotComDllGetInterface: %s loading %s, WinVerifyTrust failed with %08x\n",
               ProgramPath().c_str(), path.c_str(), static_cast<unsigned>(result));
    message[std::size(message) - 1] = L'\0';
    ::OutputDebugStringW(message);
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full, n) : path;
}

}  // namespace

DWORD NotComDllGetInterface(LPCWSTR libraryName, LPCSTR interfaceName, void** object, DWORD /*reserved*/)
{
    return NotComDllGetInterface(CTrustEnvironment::Default().PolicyCache(), libraryName, interfaceName, object);
}

DWORD NotComDllGetInterface(CPolicyCache& policies, LPCWSTR libraryName, LPCSTR interfaceName, void** object)
{
    if (!object) return ERROR_INVALID_PARAMETER;
    *object = nullptr;
    if (!libraryName || !interfaceName) return ERROR_INVALID_PARAMETER;
    const std::wstring name(libraryName);
    if (name.size() >= MAX_PATH) return ERROR_INVALID_PARAMETER;

    const bool relative = name.size() >= 3 && name[0] != L'\\' && name[1] != L':';
    std::wstring path = name;
    if (relative) {
        const std::wstring folder = InstallFolder();
        if (!folder.empty()) path = folder + name;
    }
    // What is verified is what is loaded: a name that is not a full path is
    // made one here, against the current directory, as the verification
    // would read it.
    path = FullPath(path);

    CWinTrustFile trust;
    CHeldFile held;
    LONG result = VerifyHeld(trust, path, held);
    if (relative && (result == ERROR_FILE_NOT_FOUND || static_cast<DWORD>(result) == 0x80092003)) {
        ::OutputDebugStringW(L"NotComDllGetInterface: DLL not found in install location, looking in current directory");
        path = ProgramFolder() + name;
        result = VerifyHeld(trust, path, held);
    }
    if (!Acceptable(result)) {
        ReportRefusal(path, result);
        return static_cast<DWORD>(result);
    }
    trust.Close();
    // WinVerifyTrust lets an expired certificate through; the program's own
    // signer checks do not, unless a verified time stamp dates the signature.
    if (!SignerAccepted(policies, path)) {
        ReportRefusal(path, TRUST_E_SUBJECT_NOT_TRUSTED);
        return static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED);
    }

    // Only the held file's own path is loaded, once it is confirmed to still
    // name the held file, and the library's own imports come from its folder
    // and the system folder only. The module is never freed: the interface it
    // hands out lives in it.
    if (!held.StillNamed()) {
        ReportRefusal(path, TRUST_E_SUBJECT_NOT_TRUSTED);
        return static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED);
    }
    const HMODULE module =
        LoadLibraryAbsolute(path, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) return ::GetLastError();
    if (!PathNamesFile(ModuleFilePath(module), held.Handle())) return static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED);
    held.Release();
    const FARPROC proc = ::GetProcAddress(module, kExportName);
    if (!proc) return ::GetLastError();
    const auto getInterface = reinterpret_cast<NotComDllGetInterfaceExport>(reinterpret_cast<void*>(proc));
    const DWORD rc = getInterface(interfaceName, object);
    if (rc != ERROR_SUCCESS) *object = nullptr;
    return rc;
}

CTrustValidationContext CreateTrustValidationContext(CPolicyCache& policies)
{
    CTrustValidationContext context;
    ScopedRegKey key;
    if (OpenHostFrameKey(key)) {
        context.platformVersion = kDefaultVersion;
        wchar_t text[kVersionBytes / sizeof(wchar_t)];
        DWORD bytes = kVersionBytes;
        unsigned long major = 0;
        unsigned long minor = 0;
        // Each part counts by itself: 15.5 is 1505, but 16.0 stays 1504.
        if (::RegGetValueW(key.Get(), nullptr, kVersionValue, RRF_RT_REG_SZ, nullptr, text, &bytes) ==
                ERROR_SUCCESS &&
            swscanf(text, L"%lu.%lu", &major, &minor) == 2 && major >= 15 && minor >= 4) {
            const unsigned long long version = 100ull * major + minor;
            if (version <= MAXDWORD) context.platformVersion = static_cast<DWORD>(version);
        }
    }
    void* object = nullptr;
    if (NotComDllGetInterface(policies, kLibraryName, kInterfaceName, &object) == ERROR_SUCCESS) {
        context.validation = static_cast<IGrdValidationControl*>(object);
    }
    return context;
}

bool IsVouchedByValidationLibrary(const CTrustValidationContext& context, LPCWSTR path, ITrustObserver* observer)
{
    DWORD words[2] = {0, 0};
    const bool newer = context.platformVersion >= kNewerVersion;
    const DWORD flags = newer ? kFlagsFrom1505 : kFlagsBefore1505;
    bool vouched = false;
    if (context.validation) {
        context.validation->ValidateFile(path, flags, words);
        vouched = (words[0] & kVouchedWord0) && (words[1] & (newer ? kVouchedWord1From1505 : kVouchedWord1Before1505));
    }
    if (observer) {
        observer->ValidationLibrary(context.validation != nullptr, context.platformVersion, flags, words, vouched);
    }
    return vouched;
}
