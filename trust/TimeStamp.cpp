#include "common/Platform.h"

#include "trust/TimeStamp.h"

#include "common/UniqueHandle.h"
#include "trust/SignatureCrypto.h"
#include "trust/SignedDataReader.h"
#include "trust/WinTrustFile.h"

#include <cstring>

namespace signature_crypto {
namespace {

constexpr char kRfc3161TimeStamp[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kTimeStamping[] = "1.3.6.1.5.5.7.3.8";

// A stamped time as the chain engine takes it; false for fields that make no
// date (or one before 1601).
bool ToFileTime(const der::CivilTime& civil, FILETIME& time)
{
    SYSTEMTIME t{};
    t.wYear = civil.year;
    t.wMonth = civil.month;
    t.wDay = civil.day;
    t.wHour = civil.hour;
    t.wMinute = civil.minute;
    t.wSecond = civil.second;
    return ::SystemTimeToFileTime(&t, &time) != FALSE;
}

// The first signing-time attribute of exactly 15 bytes. None leaves the time zero.
bool SigningTime(const CRYPT_ATTRIBUTES& attributes, FILETIME& time)
{
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (std::strcmp(attribute.pszObjId, szOID_RSA_signingTime) == 0 && attribute.cValue > 0 &&
            attribute.rgValue[0].cbData == 15) {
            der::CivilTime signingTime;
            return der::ReadUtcSigningTime({attribute.rgValue[0].pbData, attribute.rgValue[0].cbData}, signingTime) &&
                   ToFileTime(signingTime, time);
        }
    }
    return true;
}

template <typename T>
bool Decode(LPCSTR type, const BYTE* data, DWORD size, std::vector<BYTE>& out)
{
    DWORD needed = 0;
    if (!::CryptDecodeObject(kSignatureEncoding, type, data, size, 0, nullptr, &needed) || needed < sizeof(T)) return false;
    out.resize(needed);
    return ::CryptDecodeObject(kSignatureEncoding, type, data, size, 0, out.data(), &needed) != FALSE;
}

bool MessageParam(HCRYPTMSG message, DWORD type, DWORD index, std::vector<BYTE>& value)
{
    DWORD size = 0;
    if (!::CryptMsgGetParam(message, type, index, nullptr, &size)) return false;
    value.resize(size);
    return ::CryptMsgGetParam(message, type, index, value.data(), &size) != FALSE;
}

// The stamping certificate's chain at the stamped time: for time stamping,
// to a root the machine trusts, without any error, and no certificate on it
// blocked.
const wchar_t* StampChainProblem(PCCERT_CONTEXT cert, const FILETIME& time, HCERTSTORE store, const LPCWSTR* blocked)
{
    PCCERT_CHAIN_CONTEXT raw = nullptr;
    if (!BuildChain(cert, &time, store, kTimeStamping, raw)) return L"no chain could be built for its certificate";
    ScopedChainContext chain(raw);
    if (raw->TrustStatus.dwErrorStatus != 0 || raw->cChain == 0 || !PathHolds(*raw->rgpChain[0], &time)) {
        return L"its certificate does not chain, for time stamping, to a root this machine trusts";
    }
    const CERT_SIMPLE_CHAIN& path = *raw->rgpChain[0];
    for (DWORD e = 0; e < path.cElement; ++e) {
        if (SerialBlocked(blocked, path.rgpElement[e]->pCertContext)) {
            return L"its certificate, or one on its chain, has a blocked serial number";
        }
    }
    return nullptr;
}

// A legacy counter-signature: a signer info whose authenticated attributes
// carry the digest of the signer's encrypted digest, signed by a certificate
// of the signature's own store.
const wchar_t* CheckCounterSignature(const CMSG_SIGNER_INFO& counter, const CMSG_SIGNER_INFO& signer,
                                     HCERTSTORE store, const LPCWSTR* blocked, FILETIME& time)
{
    CERT_INFO wanted{};
    wanted.Issuer = counter.Issuer;
    wanted.SerialNumber = counter.SerialNumber;
    ScopedCertContext cert(::CertGetSubjectCertificateFromStore(store, kSignatureEncoding, &wanted));
    if (!cert) return L"its certificate is not in the signature";
    DWORD size = 0;
    if (!::CryptEncodeObject(kSignatureEncoding, PKCS_ATTRIBUTES, &counter.AuthAttrs, nullptr, &size)) {
        return L"its signed attributes cannot be encoded";
    }
    std::vector<BYTE> signedAttributes(size);
    if (!::CryptEncodeObject(kSignatureEncoding, PKCS_ATTRIBUTES, &counter.AuthAttrs, signedAttributes.data(), &size) ||
        !VerifyRsaSignature(cert.Get(), counter.HashAlgorithm.pszObjId, signedAttributes.data(), size,
                            counter.EncryptedHash)) {
        return L"its signature does not verify";
    }
    std::vector<BYTE> digest;
    if (!MessageDigest(counter.AuthAttrs, digest) ||
        !DigestMatches(counter.HashAlgorithm.pszObjId, signer.EncryptedHash.pbData, signer.EncryptedHash.cbData,
                       digest)) {
        return L"it does not cover this signer's signature";
    }
    if (!SigningTime(counter.AuthAttrs, time) || (time.dwLowDateTime == 0 && time.dwHighDateTime == 0)) {
        return L"it has no readable signing time";
    }
    return StampChainProblem(cert.Get(), time, store, blocked);
}

// An RFC 3161 time-stamp token: a signed message whose content (TSTInfo)
// stamps the digest of the signer's encrypted digest at its genTime.
const wchar_t* CheckTimeStampToken(HCRYPTMSG token, const CMSG_SIGNER_INFO& signer, HCERTSTORE store,
                                   const LPCWSTR* blocked, FILETIME& time)
{
    std::vector<BYTE> certInfo, tokenSigner, content;
    if (!MessageParam(token, CMSG_SIGNER_CERT_INFO_PARAM, 0, certInfo) ||
        !MessageParam(token, CMSG_SIGNER_INFO_PARAM, 0, tokenSigner) ||
        !MessageParam(token, CMSG_CONTENT_PARAM, 0, content)) {
        return L"it cannot be read";
    }
    ScopedCertStore certificates(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    ScopedCertStore own(::CertOpenStore(CERT_STORE_PROV_MSG, kSignatureEncoding, 0, 0, token));
    if (own) ::CertAddStoreToCollection(certificates.Get(), own.Get(), 0, 0);
    ::CertAddStoreToCollection(certificates.Get(), store, 0, 0);
    ScopedCertContext cert(::CertGetSubjectCertificateFromStore(
        certificates.Get(), kSignatureEncoding, reinterpret_cast<CERT_INFO*>(certInfo.data())));
    if (!cert) return L"its certificate is not in the token";
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
    para.cbSize = sizeof(para);
    para.dwSignerIndex = 0;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = const_cast<CERT_CONTEXT*>(cert.Get());
    if (!::CryptMsgControl(token, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para)) return L"its signature does not verify";

    // The content is TSTInfo; one platform hands it out still wrapped in the
    // OCTET STRING that carries it in the message, another unwrapped.
    if (!content.empty() && content[0] == 0x04) {
        der::Span inner{};
        if (!der::OctetStringValue({content.data(), content.size()}, inner)) return L"its content cannot be read";
        content.assign(inner.data, inner.data + inner.size);
    }
    const auto& info = *reinterpret_cast<const CMSG_SIGNER_INFO*>(tokenSigner.data());
    std::vector<BYTE> digest;
    if (!MessageDigest(info.AuthAttrs, digest) ||
        !DigestMatches(info.HashAlgorithm.pszObjId, content.data(), static_cast<DWORD>(content.size()), digest)) {
        return L"its signature does not cover its content";
    }
    der::TstInfo tst;
    FILETIME genTime{};
    if (!der::ReadTstInfo({content.data(), content.size()}, tst) || !ToFileTime(tst.genTime, genTime)) {
        return L"its content cannot be read";
    }
    const std::vector<BYTE> imprint(tst.imprint.data, tst.imprint.data + tst.imprint.size);
    if (!DigestMatches(tst.imprintHashOid.c_str(), signer.EncryptedHash.pbData, signer.EncryptedHash.cbData, imprint)) {
        return L"it does not cover this signer's signature";
    }
    time = genTime;
    return StampChainProblem(cert.Get(), time, certificates.Get(), blocked);
}

}  // namespace

bool ReadTimeStamp(const CRYPT_ATTRIBUTES* unauthenticated, const CMSG_SIGNER_INFO& signer, HCERTSTORE store,
                   const LPCWSTR* blockedSerials, TimeStamp& stamp)
{
    stamp = TimeStamp();
    for (DWORD i = 0; unauthenticated && i < unauthenticated->cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = unauthenticated->rgAttr[i];
        const bool counterSignature = std::strcmp(attribute.pszObjId, szOID_RSA_counterSign) == 0;
        if (!counterSignature && std::strcmp(attribute.pszObjId, kRfc3161TimeStamp) != 0) continue;
        // The first stamp decides; one that cannot be decoded fails the signer.
        if (attribute.cValue == 0) return false;
        stamp.found = true;
        const CRYPT_ATTR_BLOB& value = attribute.rgValue[0];
        FILETIME time{};
        if (counterSignature) {
            std::vector<BYTE> counter;
            if (!Decode<CMSG_SIGNER_INFO>(PKCS7_SIGNER_INFO, value.pbData, value.cbData, counter)) return false;
            stamp.problem =
                CheckCounterSignature(*reinterpret_cast<const CMSG_SIGNER_INFO*>(counter.data()), signer, store,
                                      blockedSerials, time);
        } else {
            ScopedCryptMsg token(::CryptMsgOpenToDecode(kSignatureEncoding, 0, 0, 0, nullptr, nullptr));
            std::vector<BYTE> probe;
            if (!token || !::CryptMsgUpdate(token.Get(), value.pbData, value.cbData, TRUE) ||
                !MessageParam(token.Get(), CMSG_SIGNER_INFO_PARAM, 0, probe)) {
                return false;
            }
            stamp.problem = CheckTimeStampToken(token.Get(), signer, store, blockedSerials, time);
        }
        stamp.verified = stamp.problem == nullptr;
        if (stamp.verified) stamp.time = time;
        return true;
    }
    return true;
}

}  // namespace signature_crypto
