#include "common/Platform.h"

#include "trust/PolicySignature.h"

#include "common/UniqueHandle.h"
#include "trust/SignatureCrypto.h"
#include "trust/TrustReport.h"
#include "trust/WinTrustFile.h"

#include <sddl.h>
#include <wintrust.h>

#include <cstring>
#include <cwchar>

const GUID kScriptSubject = {0x06C9E010, 0x38CE, 0x11D4, {0xA2, 0xA3, 0x00, 0x10, 0x4B, 0xD3, 0x50, 0x90}};

namespace {

// Only the local system, administrators and the account that makes it (the
// owner: a support tool run without elevation) may touch a private copy's folder.
constexpr wchar_t kPrivateFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)";
constexpr wchar_t kPolicyName[] = L"trusted.js";

// The indirect data the signer signed names a script and the digest of its
// text: the first `signedBytes` of `bytes`, digested as the signing tool
// digests a script (those bytes as they are, byte-order mark included).
const wchar_t* ScriptDigestProblem(ISignedMessage& message, const std::vector<BYTE>& bytes, size_t signedBytes)
{
    std::vector<BYTE> type, content, decoded;
    DWORD size = 0;
    if (!message.GetParam(CMSG_INNER_CONTENT_TYPE_PARAM, 0, type) || type.empty() ||
        std::strcmp(reinterpret_cast<const char*>(type.data()), SPC_INDIRECT_DATA_OBJID) != 0 ||
        !message.GetParam(CMSG_CONTENT_PARAM, 0, content) ||
        !::CryptDecodeObject(kSignatureEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                             static_cast<DWORD>(content.size()), 0, nullptr, &size)) {
        return L"its signature does not name what it signs";
    }
    decoded.resize(size);
    if (!::CryptDecodeObject(kSignatureEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                             static_cast<DWORD>(content.size()), 0, decoded.data(), &size)) {
        return L"its signature does not name what it signs";
    }
    const auto& indirect = *reinterpret_cast<const SPC_INDIRECT_DATA_CONTENT*>(decoded.data());
    if (!indirect.Data.pszObjId || std::strcmp(indirect.Data.pszObjId, SPC_SIGINFO_OBJID) != 0) {
        return L"it is not signed as a script";
    }
    const std::vector<BYTE> digest(indirect.Digest.pbData, indirect.Digest.pbData + indirect.Digest.cbData);
    if (!signature_crypto::DigestMatches(indirect.DigestAlgorithm.pszObjId, bytes.data(),
                                         static_cast<DWORD>(signedBytes), digest)) {
        return L"its signature does not cover its text";
    }
    return nullptr;
}

// 32 hex digits from the system's random number generator.
bool RandomName(std::wstring& name)
{
    BYTE random[16];
    ScopedCryptProv provider;
    if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !::CryptGenRandom(provider.Get(), sizeof(random), random)) {
        return false;
    }
    wchar_t text[2 * sizeof(random) + 1];
    for (size_t i = 0; i < sizeof(random); ++i) _snwprintf(text + 2 * i, 3, L"%02x", random[i]);
    name = L"qelpolicy-" + std::wstring(text, 2 * sizeof(random));
    return true;
}

// A copy of policy bytes in a folder made for it, under a name nobody could
// know before, held without write or delete sharing while it is judged.
// Removed by its end.
class PrivateCopy {
public:
    explicit PrivateCopy(const std::vector<BYTE>& bytes)
    {
        wchar_t temp[MAX_PATH];
        const DWORD n = ::GetTempPathW(MAX_PATH, temp);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (n == 0 || n >= MAX_PATH ||
            !::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateFolderAccess, SDDL_REVISION_1, &descriptor,
                                                                   nullptr)) {
            return;
        }
        ScopedLocalMem descriptorMemory(descriptor);
        SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
        // A folder that exists already, whoever made it, is never used.
        std::wstring name;
        for (int attempt = 0; attempt < 4 && m_folder.empty() && RandomName(name); ++attempt) {
            if (::CreateDirectoryW((temp + name).c_str(), &security)) m_folder = temp + name;
        }
        if (m_folder.empty()) return;
        m_path = m_folder + L"\\" + kPolicyName;
        {
            ScopedHandle file(::CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
            DWORD written = 0;
            if (!file || !::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                written != bytes.size()) {
                return;
            }
        }
        // Read back through a handle that keeps writers out while it is judged.
        m_file.Reset(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        std::vector<BYTE> back(bytes.size() + 1);
        DWORD read = 0;
        const LARGE_INTEGER start{};
        m_ready = m_file && ::ReadFile(m_file.Get(), back.data(), static_cast<DWORD>(back.size()), &read, nullptr) &&
                  read == bytes.size() && std::memcmp(back.data(), bytes.data(), bytes.size()) == 0 &&
                  ::SetFilePointerEx(m_file.Get(), start, nullptr, FILE_BEGIN);
    }
    ~PrivateCopy()
    {
        m_file.Reset();
        if (!m_path.empty()) ::DeleteFileW(m_path.c_str());
        if (!m_folder.empty()) ::RemoveDirectoryW(m_folder.c_str());
    }
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;
    bool Ready() const { return m_ready; }
    const std::wstring& Path() const { return m_path; }
    HANDLE Handle() const { return m_file.Get(); }

private:
    std::wstring m_folder;
    std::wstring m_path;
    ScopedHandle m_file;
    bool m_ready = false;
};

}  // namespace

bool VerifyPolicySignature(ISignedMessage& message, const std::vector<BYTE>& bytes, size_t signedBytes,
                           const BYTE (&signer)[20], std::wstring& reason)
{
    std::vector<BYTE> buffer;
    DWORD count = 0;
    if (message.GetParam(CMSG_SIGNER_COUNT_PARAM, 0, buffer) && buffer.size() == sizeof(count)) {
        std::memcpy(&count, buffer.data(), sizeof(count));
    }
    if (count != 1) {
        reason = L"it must have exactly one signer, it has " + std::to_wstring(count);
        return false;
    }
    // The signer's certificate, by the issuer and serial number its signer info names.
    if (!message.GetParam(CMSG_SIGNER_INFO_PARAM, 0, buffer) || buffer.size() < sizeof(CMSG_SIGNER_INFO)) {
        reason = L"its signer cannot be read";
        return false;
    }
    const auto& info = *reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
    CERT_INFO wanted{};
    wanted.Issuer = info.Issuer;
    wanted.SerialNumber = info.SerialNumber;
    ScopedCertContext cert(::CertGetSubjectCertificateFromStore(message.Store(), kSignatureEncoding, &wanted));
    if (!cert) {
        reason = L"its signer's certificate is not in the signature";
        return false;
    }
    BYTE hash[20];
    DWORD hashSize = sizeof(hash);
    if (!::CertGetCertificateContextProperty(cert.Get(), CERT_SHA1_HASH_PROP_ID, hash, &hashSize) ||
        hashSize != sizeof(hash) || std::memcmp(hash, signer, sizeof(hash)) != 0) {
        reason = L"it is not signed by the policy-signing certificate";
        return false;
    }
    if (!SignerSignsContent(message, 0, info, cert.Get())) {
        reason = L"its signature does not hold with the policy-signing certificate";
        return false;
    }
    if (const wchar_t* problem = ScriptDigestProblem(message, bytes, signedBytes)) {
        reason = problem;
        return false;
    }
    return true;
}

bool WinVerifyPolicy(const std::vector<BYTE>& bytes, std::wstring& reason, bool& unavailable)
{
    unavailable = false;
    // In memory first. A platform that does not read a script there says so
    // with a refusal like any other; the private copy then decides.
    if (VerifyTrustInMemory(kScriptSubject, kPolicyName, bytes.data(), static_cast<DWORD>(bytes.size()),
                            kTrustProviderFlags) == 0) {
        return true;
    }
    PrivateCopy copy(bytes);
    if (!copy.Ready()) {
        unavailable = true;
        reason = L"no private copy could be made to check its signature (" + std::to_wstring(::GetLastError()) + L")";
        return false;
    }
    CWinTrustFile trust;
    const LONG result = trust.Verify(copy.Path().c_str(), kTrustProviderFlags, WTD_STATEACTION_IGNORE, copy.Handle(),
                                     &kScriptSubject);
    if (result != 0) {
        reason = L"WinVerifyTrust refuses it (" + HexCode(static_cast<DWORD>(result)) + L")";
        return false;
    }
    return true;
}
