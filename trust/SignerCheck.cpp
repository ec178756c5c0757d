#include "common/Platform.h"

#include "trust/SignerCheck.h"

#include "common/UniqueHandle.h"
#include "trust/PolicyText.h"
#include "trust/SignatureArea.h"
#include "trust/SignatureCrypto.h"
#include "trust/TimeStamp.h"
#include "trust/TrustReport.h"
#include "trust/WinTrustFile.h"

#include <wintrust.h>

#include <cstring>

namespace {

bool SameText(LPCWSTR a, LPCWSTR b)
{
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool Listed(const LPCWSTR* list, LPCWSTR text)
{
    for (; list && *list; ++list) {
        if (SameText(*list, text)) return true;
    }
    return false;
}

std::wstring CertSerial(PCCERT_CONTEXT cert)
{
    return NormalisedSerialText(signature_crypto::SerialNumberText(cert->pCertInfo->SerialNumber));
}

std::wstring DisplayName(PCCERT_CONTEXT cert)
{
    wchar_t name[256] = L"";
    ::CertGetNameStringW(cert, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name, static_cast<DWORD>(std::size(name)));
    return name;
}

// A thumbprint as it is written in policy files and shown to people.
std::wstring HexText(const BYTE (&hash)[20])
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (BYTE byte : hash) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

// The certificate's SHA-1 hash property; false unless it is 20 bytes.
bool Sha1(PCCERT_CONTEXT cert, BYTE (&hash)[20])
{
    DWORD size = sizeof(hash);
    return ::CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &size) && size == sizeof(hash);
}

bool IsZero(const FILETIME& time) { return time.dwLowDateTime == 0 && time.dwHighDateTime == 0; }

// Looks for an accepted root at the end of the context's simple chains. A
// root counts only at the end of a path that holds by itself at `time`.
const CERT_SIMPLE_CHAIN* FindPinnedRoot(PCCERT_CHAIN_CONTEXT chain, const AcceptedSigners& policy,
                                        const FILETIME* time, SignerVerdict& verdict)
{
    for (DWORD c = 0; c < chain->cChain; ++c) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
        if (simple->cElement == 0) continue;
        BYTE hash[20];
        if (!Sha1(simple->rgpElement[simple->cElement - 1]->pCertContext, hash)) continue;
        for (DWORD t = 0; t < policy.thumbprintCount; ++t) {
            const RootThumbprint& pinned = policy.rootThumbprints[t];
            if (pinned.size != sizeof(hash) || std::memcmp(pinned.bytes, hash, sizeof(hash)) != 0) continue;
            if (!signature_crypto::PathHolds(*simple, time)) break;
            verdict.pinnedRoot = HexText(hash);
            verdict.pinPathStatus = simple->TrustStatus.dwErrorStatus;
            for (DWORD e = 0; e < simple->cElement; ++e) {
                verdict.pinPath.push_back(DisplayName(simple->rgpElement[e]->pCertContext));
            }
            return simple;
        }
    }
    return nullptr;
}

// Root pinning: the main chain context first (its error status is already
// 0), then its lower-quality ones in their order. A lower-quality context may
// provide the pin only when its one error is a root the machine does not
// trust (a pinned root kept off the machine, reached through a genuine cross
// certificate). Null when no accepted root was found.
const CERT_SIMPLE_CHAIN* PinningPath(PCCERT_CHAIN_CONTEXT chain, const AcceptedSigners& policy, const FILETIME* time,
                                     SignerVerdict& verdict)
{
    if (const CERT_SIMPLE_CHAIN* path = FindPinnedRoot(chain, policy, time, verdict)) return path;
    for (DWORD i = 0; i < chain->cLowerQualityChainContext; ++i) {
        PCCERT_CHAIN_CONTEXT lower = chain->rgpLowerQualityChainContext[i];
        if ((lower->TrustStatus.dwErrorStatus & ~CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) continue;
        if (const CERT_SIMPLE_CHAIN* path = FindPinnedRoot(lower, policy, time, verdict)) {
            verdict.pinnedInLowerQualityChain = true;
            return path;
        }
    }
    return nullptr;
}

// The signer's unauthenticated attributes; null when it has none. False when
// they are there but cannot be read.
bool UnauthenticatedAttributes(ISignedMessage& message, DWORD index, std::vector<BYTE>& buffer,
                               const CRYPT_ATTRIBUTES*& attributes)
{
    attributes = nullptr;
    if (!message.GetParam(CMSG_SIGNER_UNAUTH_ATTR_PARAM, index, buffer)) {
        return ::GetLastError() == static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING);
    }
    if (buffer.size() >= sizeof(CRYPT_ATTRIBUTES)) attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
    return true;
}

// The steps for one signer, in order; the first that fails sets the refusal.
bool VerifySigner(ISignedMessage& message, DWORD index, const CMSG_SIGNER_INFO& info, LPCWSTR path,
                  const AcceptedSigners& policy, SignerVerdict& verdict)
{
    verdict.serial = signature_crypto::SerialNumberText(info.SerialNumber);
    CERT_INFO wanted{};
    wanted.Issuer = info.Issuer;
    wanted.SerialNumber = info.SerialNumber;
    ScopedCertContext cert(::CertGetSubjectCertificateFromStore(message.Store(), kSignatureEncoding, &wanted));
    // A blocked list judges the certificate that was found: a signer info may
    // write its serial number with redundant leading zeros and still find it.
    verdict.serialNormalised = cert ? CertSerial(cert.Get()) : NormalisedSerialText(verdict.serial);
    if (signature_crypto::SerialTextBlocked(policy.blockedSerials, verdict.serialNormalised)) {
        verdict.blocked = true;
        verdict.refusal = L"its certificate's serial number is blocked";
        return false;
    }
    if (!cert) {
        verdict.refusal = L"its certificate is not in the signature";
        return false;
    }
    verdict.name = DisplayName(cert.Get());
    if (verdict.name.empty()) {
        verdict.refusal = L"its certificate has no name";
        return false;
    }
    if (policy.publisherNames && !Listed(policy.publisherNames, verdict.name.c_str())) {
        verdict.refusal = L"its publisher is not accepted";
        return false;
    }

    verdict.signatureChecked = true;
    verdict.signatureVerified = SignerSignsContent(message, index, info, cert.Get());
    if (!verdict.signatureVerified) {
        verdict.refusal = L"its signature does not hold over the file's signed content";
        return false;
    }

    std::vector<BYTE> buffer;
    const CRYPT_ATTRIBUTES* unauthenticated = nullptr;
    signature_crypto::TimeStamp stamp;
    if (!UnauthenticatedAttributes(message, index, buffer, unauthenticated) ||
        !signature_crypto::ReadTimeStamp(unauthenticated, info, message.Store(), policy.blockedSerials, stamp)) {
        verdict.refusal = L"its time stamp cannot be read";
        return false;
    }
    verdict.stampFound = stamp.found;
    verdict.stampVerified = stamp.verified;
    verdict.stampProblem = stamp.problem;
    verdict.timestamp = stamp.time;
    const FILETIME* time = IsZero(verdict.timestamp) ? nullptr : &verdict.timestamp;

    PCCERT_CHAIN_CONTEXT built = nullptr;
    if (!signature_crypto::BuildChain(cert.Get(), time, message.Store(), szOID_PKIX_KP_CODE_SIGNING, built)) {
        verdict.refusal = L"no certificate chain could be built";
        return false;
    }
    ScopedChainContext chain(built);
    verdict.chainBuilt = true;
    verdict.chainStatus = chain.Get()->TrustStatus.dwErrorStatus;
    if (chain.Get()->cChain > 0) {
        const CERT_SIMPLE_CHAIN* simple = chain.Get()->rgpChain[0];
        BYTE hash[20];
        if (simple->cElement > 0 && Sha1(simple->rgpElement[simple->cElement - 1]->pCertContext, hash)) {
            verdict.rootThumbprint = HexText(hash);
        }
    }
    if (verdict.chainStatus != 0) {
        verdict.refusal = L"its certificate chain is not valid";
        return false;
    }
    verdict.rootChecked = true;
    if (!policy.rootThumbprints || policy.thumbprintCount == 0) {
        verdict.anyRoot = true;
    } else {
        const CERT_SIMPLE_CHAIN* pinning = PinningPath(chain.Get(), policy, time, verdict);
        if (!pinning) {
            verdict.refusal = L"its chain does not end in an accepted root";
            return false;
        }
        for (DWORD e = 0; e < pinning->cElement; ++e) {
            if (signature_crypto::SerialBlocked(policy.blockedSerials, pinning->rgpElement[e]->pCertContext)) {
                verdict.blocked = true;
                verdict.refusal = L"its certificate's serial number is blocked";
                return false;
            }
        }
    }

    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof(policyPara);
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof(policyStatus);
    verdict.policyChecked = true;
    const BOOL policyRan = ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain.Get(),
                                                              &policyPara, &policyStatus);
    verdict.policyError = policyRan ? policyStatus.dwError : ::GetLastError();
    if (!policyRan || policyStatus.dwError != 0) {
        verdict.refusal = L"the Authenticode time-stamp chain policy refuses its chain";
        return false;
    }

    CWinTrustFile trust;
    verdict.winTrustChecked = true;
    verdict.winTrustResult = trust.Verify(path, kTrustProviderFlags, WTD_STATEACTION_IGNORE);
    if (verdict.winTrustResult != 0) {
        verdict.refusal = L"WinVerifyTrust refuses the file";
        return false;
    }
    return true;
}

// The file read at offsets through a handle that keeps writers out.
class CFileBytes final : public IByteSource {
public:
    explicit CFileBytes(LPCWSTR path)
        : m_file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr))
    {
    }
    bool Open() const { return static_cast<bool>(m_file); }
    bool Read(uint64_t offset, size_t size, std::vector<uint8_t>& bytes) override
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        std::vector<uint8_t> out(size);
        DWORD read = 0;
        if (!::ReadFile(m_file.Get(), out.data(), static_cast<DWORD>(size), &read, &at) || read != size) return false;
        bytes.swap(out);
        return true;
    }
    uint64_t Size() override
    {
        LARGE_INTEGER size{};
        return ::GetFileSizeEx(m_file.Get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    }

private:
    ScopedHandle m_file;
};

}  // namespace

bool VerifySigners(ISignedMessage& message, LPCWSTR path, const AcceptedSigners& policy, ITrustObserver* observer)
{
    std::vector<BYTE> buffer;
    DWORD count = 0;
    if (message.GetParam(CMSG_SIGNER_COUNT_PARAM, 0, buffer) && buffer.size() == sizeof(DWORD)) {
        std::memcpy(&count, buffer.data(), sizeof(count));
    }
    if (count == 0) {
        if (observer) observer->Unsigned(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
        return false;
    }
    for (DWORD index = 0; index < count; ++index) {
        // A signer info that cannot be read ends the check: the message is damaged.
        if (!message.GetParam(CMSG_SIGNER_INFO_PARAM, index, buffer)) return false;
        SignerVerdict verdict;
        verdict.index = index;
        const bool trusted = VerifySigner(message, index, *reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data()),
                                          path, policy, verdict);
        if (observer) observer->Signer(verdict);
        if (trusted) return true;
    }
    return false;
}

bool VerifySignedFile(LPCWSTR path, const LPCWSTR* publisherNames, const RootThumbprint* rootThumbprints,
                      DWORD thumbprintCount, const LPCWSTR* blockedSerials, ITrustObserver* observer)
{
    if (!path || !*path) return false;
    // A signature is read only from a file whose signature area holds it and
    // nothing else.
    CFileBytes bytes(path);
    if (const wchar_t* problem = bytes.Open() ? SignatureAreaProblem(bytes) : nullptr) {
        if (observer) observer->SignatureArea(problem);
        return false;
    }
    CSignedMessage signature;
    if (!signature.OpenFile(path)) {
        if (observer) observer->Unsigned(::GetLastError());
        return false;
    }
    return VerifySigners(signature, path, {publisherNames, rootThumbprints, thumbprintCount, blockedSerials},
                         observer);
}
