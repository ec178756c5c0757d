// The test machine's completion of what Wine's crypt32 lacks, registered into
// the template prefix the way such pieces are registered on Windows
// (`regsvr32 qeltrustshim.dll`):
//
// 1. A chain policy function for CERT_CHAIN_POLICY_AUTHENTICODE_TS
//    (CryptRegisterOIDFunction, "CertDllVerifyCertificateChainPolicy", OID 3).
//    Wine has none and answers FALSE. This one judges the chain's trust status
//    as the platform's base policy does, error by error, honouring the
//    policy's ignore flags and the time-stamp policy's registry settings.
// 2. A subject interface package for signed script files ("*.js" with
//    "// SIG //" lines; CryptSIPAddProvider), so that CryptQueryObject and
//    WinVerifyTrust can read their signature. Wine never asks a package to
//    check a file's digest, so GetSignedDataMsg checks it before it hands the
//    signature out: a changed script has no signature to offer.
//
// The package reads and verifies; it does not sign (Put, Create and Remove
// answer ERROR_NOT_SUPPORTED): the test PKI signs scripts with osslsigncode.
#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <mssip.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The script package's subject GUID (the one Windows uses for signed scripts).
GUID kScriptSubject = {0x06C9E010, 0x38CE, 0x11D4, {0xA2, 0xA3, 0x00, 0x10, 0x4B, 0xD3, 0x50, 0x90}};
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr wchar_t kBegin[] = L"// SIG // Begin signature block";
constexpr wchar_t kEnd[] = L"// SIG // End signature block";
constexpr wchar_t kLinePrefix[] = L"// SIG // ";

HMODULE g_module = nullptr;

// ---- The time-stamp chain policy ----

struct PolicyCheck {
    DWORD status;   // CERT_TRUST_* error bits
    HRESULT error;  // what the policy reports
    DWORD ignore;   // the CERT_CHAIN_POLICY_* flag that waives it (0: none)
};

// In the order the base policy reports them: the first one present wins.
constexpr PolicyCheck kChecks[] = {
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE, 0},
    {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT, CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG},
    {CERT_TRUST_IS_PARTIAL_CHAIN, CERT_E_CHAINING, 0},
    {CERT_TRUST_IS_CYCLIC, CERT_E_CHAINING, 0},
    {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED, CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG},
    {CERT_TRUST_IS_NOT_TIME_NESTED, CERT_E_VALIDITYPERIODNESTING, CERT_CHAIN_POLICY_IGNORE_NOT_TIME_NESTED_FLAG},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE, CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, TRUST_E_BASIC_CONSTRAINTS,
     CERT_CHAIN_POLICY_IGNORE_INVALID_BASIC_CONSTRAINTS_FLAG},
    {CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
         CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
         CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT,
     CERT_E_INVALID_NAME, CERT_CHAIN_POLICY_IGNORE_INVALID_NAME_FLAG},
    {CERT_TRUST_INVALID_POLICY_CONSTRAINTS | CERT_TRUST_INVALID_EXTENSION, CERT_E_INVALID_POLICY,
     CERT_CHAIN_POLICY_IGNORE_INVALID_POLICY_FLAG},
    {CERT_TRUST_IS_REVOKED, CRYPT_E_REVOKED, 0},
    {CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION, CRYPT_E_REVOCATION_OFFLINE,
     CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS},
};

// The first element that carries one of the bits; -1, -1 when none does.
void FindElement(PCCERT_CHAIN_CONTEXT chain, DWORD bits, LONG& chainIndex, LONG& elementIndex)
{
    chainIndex = elementIndex = -1;
    for (DWORD c = 0; c < chain->cChain; ++c) {
        for (DWORD e = 0; e < chain->rgpChain[c]->cElement; ++e) {
            if (chain->rgpChain[c]->rgpElement[e]->TrustStatus.dwErrorStatus & bits) {
                chainIndex = static_cast<LONG>(c);
                elementIndex = static_cast<LONG>(e);
                return;
            }
        }
    }
}

// ---- The script package ----

// The file's bytes, from the subject's handle when it has one.
bool ReadSubject(const SIP_SUBJECTINFO* subject, std::vector<BYTE>& bytes)
{
    HANDLE handle = subject->hFile;
    ScopedHandle own;
    if (!handle || handle == INVALID_HANDLE_VALUE) {
        own.Reset(::CreateFileW(subject->pwsFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!own) return false;
        handle = own.Get();
    }
    LARGE_INTEGER size{};
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!::GetFileSizeEx(handle, &size) || size.QuadPart > 16 * 1024 * 1024 ||
        !::SetFilePointerEx(handle, zero, &position, FILE_CURRENT) || !::SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN)) {
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    const bool ok = ::ReadFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                    read == bytes.size();
    ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
    return ok;
}

// A UTF-16LE script (with its byte-order mark) split into the signed part
// and its signature. The signed part is every byte before the line break
// that precedes the signature block.
struct Script {
    size_t signedBytes = 0;
    std::vector<BYTE> signature;
};

bool ParseScript(const std::vector<BYTE>& bytes, Script& script)
{
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE || bytes.size() % 2 != 0) return false;
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()) + 1, bytes.size() / 2 - 1);
    const size_t begin = text.find(std::wstring(L"\n") + kBegin);
    if (begin == std::wstring::npos) return false;
    const size_t cut = begin > 0 && text[begin - 1] == L'\r' ? begin - 1 : begin;
    script.signedBytes = 2 + 2 * cut;

    std::wstring base64;
    size_t line = text.find(L'\n', begin + 1);
    while (line != std::wstring::npos) {
        size_t end = text.find(L'\n', line + 1);
        std::wstring content = text.substr(line + 1, end == std::wstring::npos ? std::wstring::npos : end - line - 1);
        if (!content.empty() && content.back() == L'\r') content.pop_back();
        if (content == kEnd) break;
        if (content.rfind(kLinePrefix, 0) != 0) return false;
        base64 += content.substr(std::wcslen(kLinePrefix));
        line = end;
    }
    if (line == std::wstring::npos) return false;  // no end of the block
    DWORD size = 0;
    if (!::CryptStringToBinaryW(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, nullptr,
                                &size, nullptr, nullptr)) {
        return false;
    }
    script.signature.resize(size);
    return ::CryptStringToBinaryW(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                                  script.signature.data(), &size, nullptr, nullptr) != FALSE;
}

// The digest of the signed part with the algorithm named by `oid`.
bool Digest(const std::vector<BYTE>& bytes, size_t signedBytes, LPCSTR oid, std::vector<BYTE>& digest)
{
    const ALG_ID algorithm = ::CertOIDToAlgId(oid);
    ScopedCryptProv provider;
    ScopedCryptHash hash;
    DWORD size = 0;
    DWORD sizeBytes = sizeof(size);
    if (!algorithm || !::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !::CryptCreateHash(provider.Get(), algorithm, 0, 0, hash.Put()) ||
        !::CryptHashData(hash.Get(), bytes.data(), static_cast<DWORD>(signedBytes), 0) ||
        !::CryptGetHashParam(hash.Get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeBytes, 0)) {
        return false;
    }
    digest.resize(size);
    return ::CryptGetHashParam(hash.Get(), HP_HASHVAL, digest.data(), &size, 0) != FALSE;
}

bool SameDigest(const std::vector<BYTE>& bytes, size_t signedBytes, const CRYPT_ALGORITHM_IDENTIFIER& algorithm,
                const CRYPT_HASH_BLOB& expected)
{
    std::vector<BYTE> digest;
    return Digest(bytes, signedBytes, algorithm.pszObjId, digest) && digest.size() == expected.cbData &&
           std::memcmp(digest.data(), expected.pbData, expected.cbData) == 0;
}

// Whether the signature's indirect data names the digest of the signed part.
bool SignatureMatches(const std::vector<BYTE>& bytes, const Script& script)
{
    ScopedCryptMsg message(::CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    DWORD size = 0;
    if (!message ||
        !::CryptMsgUpdate(message.Get(), script.signature.data(), static_cast<DWORD>(script.signature.size()), TRUE) ||
        !::CryptMsgGetParam(message.Get(), CMSG_CONTENT_PARAM, 0, nullptr, &size)) {
        return false;
    }
    std::vector<BYTE> content(size);
    DWORD decodedSize = 0;
    if (!::CryptMsgGetParam(message.Get(), CMSG_CONTENT_PARAM, 0, content.data(), &size) ||
        !::CryptDecodeObject(kEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(), size, 0, nullptr,
                             &decodedSize)) {
        return false;
    }
    std::vector<BYTE> decoded(decodedSize);
    if (!::CryptDecodeObject(kEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(), size, 0, decoded.data(),
                             &decodedSize)) {
        return false;
    }
    const auto* indirect = reinterpret_cast<const SPC_INDIRECT_DATA_CONTENT*>(decoded.data());
    return SameDigest(bytes, script.signedBytes, indirect->DigestAlgorithm, indirect->Digest);
}

bool Fail(DWORD error)
{
    ::SetLastError(error);
    return false;
}

}  // namespace

#define SHIM_EXPORT extern "C" __declspec(dllexport)

SHIM_EXPORT BOOL WINAPI AuthenticodeTsChainPolicy(LPCSTR, PCCERT_CHAIN_CONTEXT chain, PCERT_CHAIN_POLICY_PARA para,
                                                  PCERT_CHAIN_POLICY_STATUS status)
{
    if (!chain || !status) return Fail(ERROR_INVALID_PARAMETER);
    DWORD ignored = para ? para->dwFlags : 0;
    if (para && para->pvExtraPolicyPara) {
        // The time-stamp policy's own settings (WTPF_* registry policy bits).
        const auto* extra = static_cast<const AUTHENTICODE_TS_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara);
        if (extra->cbSize >= sizeof(*extra)) {
            if (extra->dwRegPolicySettings & WTPF_IGNOREEXPIRATION) {
                ignored |= CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG | CERT_CHAIN_POLICY_IGNORE_NOT_TIME_NESTED_FLAG;
            }
            if (extra->dwRegPolicySettings & WTPF_IGNOREREVOKATION) ignored |= CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
        }
    }
    status->dwError = 0;
    status->lChainIndex = status->lElementIndex = -1;
    const DWORD trust = chain->TrustStatus.dwErrorStatus;
    for (const PolicyCheck& check : kChecks) {
        if (!(trust & check.status) || (check.ignore && (ignored & check.ignore) == check.ignore)) continue;
        status->dwError = static_cast<DWORD>(check.error);
        FindElement(chain, check.status, status->lChainIndex, status->lElementIndex);
        break;
    }
    return TRUE;
}

SHIM_EXPORT BOOL WINAPI ScriptSipIsFileSupportedName(WCHAR* name, GUID* subject)
{
    const size_t length = name ? std::wcslen(name) : 0;
    if (length < 3 || ::CompareStringOrdinal(name + length - 3, 3, L".js", 3, TRUE) != CSTR_EQUAL) return FALSE;
    *subject = kScriptSubject;
    return TRUE;
}

SHIM_EXPORT BOOL WINAPI ScriptSipGetSignedDataMsg(SIP_SUBJECTINFO* subject, DWORD* encoding, DWORD index,
                                                  DWORD* size, BYTE* data)
{
    if (!subject || !encoding || !size) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<BYTE> bytes;
    Script script;
    if (!ReadSubject(subject, bytes)) return Fail(::GetLastError() ? ::GetLastError() : ERROR_READ_FAULT);
    if (index != 0 || !ParseScript(bytes, script)) return Fail(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
    if (!SignatureMatches(bytes, script)) return Fail(static_cast<DWORD>(TRUST_E_BAD_DIGEST));
    *encoding = kEncoding;
    const DWORD needed = static_cast<DWORD>(script.signature.size());
    if (data && *size < needed) {
        *size = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (data) std::memcpy(data, script.signature.data(), needed);
    *size = needed;
    return TRUE;
}

SHIM_EXPORT BOOL WINAPI ScriptSipVerifyIndirectData(SIP_SUBJECTINFO* subject, SIP_INDIRECT_DATA* indirect)
{
    if (!subject || !indirect) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<BYTE> bytes;
    Script script;
    if (!ReadSubject(subject, bytes) || !ParseScript(bytes, script)) return Fail(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
    if (!SameDigest(bytes, script.signedBytes, indirect->DigestAlgorithm, indirect->Digest)) {
        return Fail(static_cast<DWORD>(TRUST_E_BAD_DIGEST));
    }
    return TRUE;
}

SHIM_EXPORT BOOL WINAPI ScriptSipPutSignedDataMsg(SIP_SUBJECTINFO*, DWORD, DWORD*, DWORD, BYTE*)
{
    return Fail(ERROR_NOT_SUPPORTED);
}

SHIM_EXPORT BOOL WINAPI ScriptSipCreateIndirectData(SIP_SUBJECTINFO*, DWORD*, SIP_INDIRECT_DATA*)
{
    return Fail(ERROR_NOT_SUPPORTED);
}

SHIM_EXPORT BOOL WINAPI ScriptSipRemoveSignedDataMsg(SIP_SUBJECTINFO*, DWORD) { return Fail(ERROR_NOT_SUPPORTED); }

// regsvr32: registers both pieces with this DLL's full path.
SHIM_EXPORT HRESULT WINAPI DllRegisterServer()
{
    wchar_t path[MAX_PATH];
    if (!::GetModuleFileNameW(g_module, path, MAX_PATH)) return HRESULT_FROM_WIN32(::GetLastError());
    SIP_ADD_NEWPROVIDER provider{};
    provider.cbStruct = sizeof(provider);
    provider.pgSubject = &kScriptSubject;
    provider.pwszDLLFileName = path;
    provider.pwszIsFunctionNameFmt2 = const_cast<WCHAR*>(L"ScriptSipIsFileSupportedName");
    provider.pwszGetFuncName = const_cast<WCHAR*>(L"ScriptSipGetSignedDataMsg");
    provider.pwszPutFuncName = const_cast<WCHAR*>(L"ScriptSipPutSignedDataMsg");
    provider.pwszCreateFuncName = const_cast<WCHAR*>(L"ScriptSipCreateIndirectData");
    provider.pwszVerifyFuncName = const_cast<WCHAR*>(L"ScriptSipVerifyIndirectData");
    provider.pwszRemoveFuncName = const_cast<WCHAR*>(L"ScriptSipRemoveSignedDataMsg");
    if (!::CryptSIPAddProvider(&provider)) return HRESULT_FROM_WIN32(::GetLastError());
    if (!::CryptRegisterOIDFunction(X509_ASN_ENCODING, CRYPT_OID_VERIFY_CERTIFICATE_CHAIN_POLICY_FUNC,
                                    CERT_CHAIN_POLICY_AUTHENTICODE_TS, path, "AuthenticodeTsChainPolicy")) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    return S_OK;
}

SHIM_EXPORT HRESULT WINAPI DllUnregisterServer()
{
    ::CryptSIPRemoveProvider(&kScriptSubject);
    ::CryptUnregisterOIDFunction(X509_ASN_ENCODING, CRYPT_OID_VERIFY_CERTIFICATE_CHAIN_POLICY_FUNC,
                                 CERT_CHAIN_POLICY_AUTHENTICODE_TS);
    return S_OK;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}
