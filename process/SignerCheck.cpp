#include "common/Platform.h"

#include "process/SignerCheck.h"

#include "common/UniqueHandle.h"
#include "process/TrustReport.h"
#include "process/WinTrustFile.h"

#include <wintrust.h>

#include <cstring>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kRfc3161TimeStamp[] = "1.3.6.1.4.1.311.3.3.1";
// CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS
constexpr DWORD kChainFlags = 0x84;
// WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_HASH_ONLY_FLAG | WTD_REVOCATION_CHECK_NONE | WTD_NO_POLICY_USAGE_FLAG
constexpr DWORD kFileProviderFlags = 0x1214;

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

void AppendHex(std::wstring& text, BYTE byte, bool upper)
{
    const wchar_t* digits = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
}

// A thumbprint as it is written in policy files and shown to people.
std::wstring HexText(const BYTE (&hash)[20])
{
    std::wstring text;
    for (BYTE byte : hash) AppendHex(text, byte, true);
    return text;
}

// The certificate's SHA-1 hash property; false unless it is 20 bytes.
bool Sha1(PCCERT_CONTEXT cert, BYTE (&hash)[20])
{
    DWORD size = sizeof(hash);
    return ::CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &size) && size == sizeof(hash);
}

// A UTCTime signing-time value of exactly 15 bytes: tag, length, YYMMDDhhmmssZ.
bool ParseUtcTime(const CRYPT_ATTR_BLOB& value, FILETIME& time)
{
    const BYTE* p = value.pbData;
    if (p[0] != 0x17 || p[1] != 13 || p[14] != 'Z') return false;
    WORD parts[6];
    for (int i = 0; i < 6; ++i) {
        const BYTE high = p[2 + 2 * i];
        const BYTE low = p[3 + 2 * i];
        if (high < '0' || high > '9' || low < '0' || low > '9') return false;
        parts[i] = static_cast<WORD>((high - '0') * 10 + (low - '0'));
    }
    SYSTEMTIME system{};
    system.wYear = static_cast<WORD>(parts[0] < 70 ? 2000 + parts[0] : 1900 + parts[0]);
    system.wMonth = parts[1];
    system.wDay = parts[2];
    system.wHour = parts[3];
    system.wMinute = parts[4];
    system.wSecond = parts[5];
    return ::SystemTimeToFileTime(&system, &time) != FALSE;
}

// The time of a time stamp's signer info: its first signing-time attribute of
// exactly 15 bytes. None leaves the time zero.
bool SigningTime(const CMSG_SIGNER_INFO& signer, FILETIME& time)
{
    for (DWORD i = 0; i < signer.AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[i];
        if (std::strcmp(attribute.pszObjId, szOID_RSA_signingTime) == 0 && attribute.cValue > 0 &&
            attribute.rgValue[0].cbData == 15) {
            return ParseUtcTime(attribute.rgValue[0], time);
        }
    }
    return true;
}

// The signer info of a counter-signature attribute's value.
bool DecodeCounterSignature(const CRYPT_ATTR_BLOB& value, std::vector<BYTE>& signer)
{
    DWORD size = 0;
    if (!::CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0, nullptr, &size)) return false;
    signer.resize(size);
    return ::CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0, signer.data(), &size) !=
           FALSE;
}

// The first signer info of an RFC 3161 time-stamp token (a PKCS #7 message).
bool DecodeTimeStampToken(const CRYPT_ATTR_BLOB& value, std::vector<BYTE>& signer)
{
    ScopedCryptMsg token(::CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    DWORD size = 0;
    if (!token || !::CryptMsgUpdate(token.Get(), value.pbData, value.cbData, TRUE) ||
        !::CryptMsgGetParam(token.Get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        return false;
    }
    signer.resize(size);
    return ::CryptMsgGetParam(token.Get(), CMSG_SIGNER_INFO_PARAM, 0, signer.data(), &size) != FALSE;
}

// The signer's time stamp time: the first counter-signature or RFC 3161 token
// among its unauthenticated attributes decides. Zero when there is none;
// false when what is there cannot be read.
bool TimeStampTime(ISignedMessage& message, DWORD index, FILETIME& time)
{
    time = FILETIME{};
    std::vector<BYTE> buffer;
    if (!message.GetParam(CMSG_SIGNER_UNAUTH_ATTR_PARAM, index, buffer)) {
        return ::GetLastError() == static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING);
    }
    if (buffer.size() < sizeof(CRYPT_ATTRIBUTES)) return true;  // an empty set: no time stamp either
    const auto* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
    for (DWORD i = 0; i < attributes->cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes->rgAttr[i];
        const bool counterSignature = std::strcmp(attribute.pszObjId, szOID_RSA_counterSign) == 0;
        if (!counterSignature && std::strcmp(attribute.pszObjId, kRfc3161TimeStamp) != 0) continue;
        std::vector<BYTE> signer;
        if (attribute.cValue == 0) return false;
        const bool decoded = counterSignature ? DecodeCounterSignature(attribute.rgValue[0], signer)
                                              : DecodeTimeStampToken(attribute.rgValue[0], signer);
        return decoded && SigningTime(*reinterpret_cast<const CMSG_SIGNER_INFO*>(signer.data()), time);
    }
    return true;
}

bool IsZero(const FILETIME& time) { return time.dwLowDateTime == 0 && time.dwHighDateTime == 0; }

// Looks for an accepted root at the end of the context's simple chains.
bool FindPinnedRoot(PCCERT_CHAIN_CONTEXT chain, const AcceptedSigners& policy, SignerVerdict& verdict)
{
    for (DWORD c = 0; c < chain->cChain; ++c) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
        if (simple->cElement == 0) continue;
        BYTE hash[20];
        if (!Sha1(simple->rgpElement[simple->cElement - 1]->pCertContext, hash)) continue;
        for (DWORD t = 0; t < policy.thumbprintCount; ++t) {
            const RootThumbprint& pinned = policy.rootThumbprints[t];
            if (pinned.size == sizeof(hash) && std::memcmp(pinned.bytes, hash, sizeof(hash)) == 0) {
                verdict.pinnedRoot = HexText(hash);
                return true;
            }
        }
    }
    return false;
}

// Root pinning: the main chain context first, then its lower-quality ones in
// their order. A policy without thumbprints accepts any root.
bool EndsInAcceptedRoot(PCCERT_CHAIN_CONTEXT chain, const AcceptedSigners& policy, SignerVerdict& verdict)
{
    if (!policy.rootThumbprints || policy.thumbprintCount == 0) {
        verdict.anyRoot = true;
        return true;
    }
    if (FindPinnedRoot(chain, policy, verdict)) return true;
    for (DWORD i = 0; i < chain->cLowerQualityChainContext; ++i) {
        if (FindPinnedRoot(chain->rgpLowerQualityChainContext[i], policy, verdict)) {
            verdict.pinnedInLowerQualityChain = true;
            return true;
        }
    }
    return false;
}

// The steps for one signer, in order; the first that fails sets the refusal.
bool VerifySigner(ISignedMessage& message, DWORD index, const CMSG_SIGNER_INFO& info, LPCWSTR path,
                  const AcceptedSigners& policy, SignerVerdict& verdict)
{
    verdict.serial = SerialNumberText(info.SerialNumber);
    if (Listed(policy.blockedSerials, verdict.serial.c_str())) {
        verdict.blocked = true;
        verdict.refusal = L"its certificate's serial number is blocked";
        return false;
    }

    CERT_INFO wanted{};
    wanted.Issuer = info.Issuer;
    wanted.SerialNumber = info.SerialNumber;
    ScopedCertContext cert(::CertGetSubjectCertificateFromStore(message.Store(), kEncoding, &wanted));
    if (!cert) {
        verdict.refusal = L"its certificate is not in the signature";
        return false;
    }
    wchar_t name[256] = L"";
    ::CertGetNameStringW(cert.Get(), CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name, static_cast<DWORD>(std::size(name)));
    verdict.name = name;
    if (verdict.name.empty()) {
        verdict.refusal = L"its certificate has no name";
        return false;
    }
    if (policy.publisherNames && !Listed(policy.publisherNames, name)) {
        verdict.refusal = L"its publisher is not accepted";
        return false;
    }

    if (!TimeStampTime(message, index, verdict.timestamp)) {
        verdict.refusal = L"its time stamp cannot be read";
        return false;
    }

    LPSTR codeSigning[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = codeSigning;
    ScopedChainContext chain;
    if (!::CertGetCertificateChain(nullptr, cert.Get(), IsZero(verdict.timestamp) ? nullptr : &verdict.timestamp,
                                   message.Store(), &para, kChainFlags, nullptr, chain.Put())) {
        verdict.refusal = L"no certificate chain could be built";
        return false;
    }
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
    if (!EndsInAcceptedRoot(chain.Get(), policy, verdict)) {
        verdict.refusal = L"its chain does not end in an accepted root";
        return false;
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
    verdict.winTrustResult = trust.Verify(path, kFileProviderFlags, WTD_STATEACTION_IGNORE);
    if (verdict.winTrustResult != 0) {
        verdict.refusal = L"WinVerifyTrust refuses the file";
        return false;
    }
    return true;
}

// The file's own signature, as CryptQueryObject opened it.
class CFileSignature final : public ISignedMessage {
public:
    bool Open(LPCWSTR path)
    {
        return ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                  CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, m_store.Put(),
                                  m_message.Put(), nullptr) != FALSE;
    }
    bool GetParam(DWORD type, DWORD index, std::vector<BYTE>& value) override
    {
        DWORD size = 0;
        if (!::CryptMsgGetParam(m_message.Get(), type, index, nullptr, &size)) return false;
        value.resize(size);
        return ::CryptMsgGetParam(m_message.Get(), type, index, value.data(), &size) != FALSE;
    }
    HCERTSTORE Store() override { return m_store.Get(); }

private:
    ScopedCertStore m_store;
    ScopedCryptMsg m_message;
};

}  // namespace

std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial)
{
    std::wstring text;
    for (DWORD i = serial.cbData; i-- > 0;) AppendHex(text, serial.pbData[i], false);
    return text;
}

bool VerifySigners(ISignedMessage& message, LPCWSTR path, const AcceptedSigners& policy)
{
    ITrustObserver* observer = TrustObserver();
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
                      DWORD thumbprintCount, const LPCWSTR* blockedSerials)
{
    if (!path || !*path) return false;
    CFileSignature signature;
    if (!signature.Open(path)) {
        if (ITrustObserver* observer = TrustObserver()) observer->Unsigned(::GetLastError());
        return false;
    }
    return VerifySigners(signature, path, {publisherNames, rootThumbprints, thumbprintCount, blockedSerials});
}
