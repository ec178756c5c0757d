#include "common/Platform.h"

#include "process/SignatureCrypto.h"

#include "common/UniqueHandle.h"
#include "process/DerReader.h"
#include "process/PolicyText.h"
#include "process/WinTrustFile.h"

#include <algorithm>
#include <cstring>

namespace signature_crypto {
namespace {

constexpr char kRfc3161TimeStamp[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kTimeStamping[] = "1.3.6.1.5.5.7.3.8";
// CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS
constexpr DWORD kChainFlags = 0x84;

using der::ReadElement;
using der::ReadExpected;
using DerSpan = der::Span;

bool Digits(const BYTE* p, int count, WORD& value)
{
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = static_cast<WORD>(value * 10 + (p[i] - '0'));
    }
    return true;
}

// GeneralizedTime "YYYYMMDDhhmmss[.fff]Z".
bool ParseGeneralizedTime(const DerSpan& value, FILETIME& time)
{
    if (value.size < 15 || value.data[value.size - 1] != 'Z') return false;
    if (value.size > 15 && value.data[14] != '.') return false;
    SYSTEMTIME t{};
    if (!Digits(value.data, 4, t.wYear) || !Digits(value.data + 4, 2, t.wMonth) || !Digits(value.data + 6, 2, t.wDay) ||
        !Digits(value.data + 8, 2, t.wHour) || !Digits(value.data + 10, 2, t.wMinute) ||
        !Digits(value.data + 12, 2, t.wSecond)) {
        return false;
    }
    return ::SystemTimeToFileTime(&t, &time) != FALSE;
}

// What a time-stamp token's TSTInfo says: the digest it stamps and when.
struct TstInfo {
    std::string imprintHashOid;
    DerSpan imprint{};
    FILETIME genTime{};
};

// TSTInfo ::= SEQUENCE { version, policy, messageImprint SEQUENCE {
// hashAlgorithm AlgorithmIdentifier, hashedMessage OCTET STRING },
// serialNumber, genTime GeneralizedTime, ... }
bool ParseTstInfo(const std::vector<BYTE>& encoded, TstInfo& info)
{
    DerSpan in{encoded.data(), encoded.size()}, tst{}, field{}, imprint{}, algorithm{}, oid{};
    if (!ReadExpected(in, 0x30, tst) || in.size != 0) return false;
    if (!ReadExpected(tst, 0x02, field) || !ReadExpected(tst, 0x06, field)) return false;  // version, policy
    if (!ReadExpected(tst, 0x30, imprint) || !ReadExpected(imprint, 0x30, algorithm) ||
        !ReadExpected(algorithm, 0x06, oid) || !der::OidText(oid, info.imprintHashOid) ||
        !ReadExpected(imprint, 0x04, info.imprint)) {
        return false;
    }
    if (!ReadExpected(tst, 0x02, field) || !ReadExpected(tst, 0x18, field)) return false;  // serialNumber, genTime
    return ParseGeneralizedTime(field, info.genTime);
}

// ---- Legacy signing times ----

// A UTCTime signing-time value of exactly 15 bytes: tag, length, YYMMDDhhmmssZ.
bool ParseUtcTime(const CRYPT_ATTR_BLOB& value, FILETIME& time)
{
    const BYTE* p = value.pbData;
    if (p[0] != 0x17 || p[1] != 13 || p[14] != 'Z') return false;
    WORD parts[6];
    for (int i = 0; i < 6; ++i) {
        if (!Digits(p + 2 + 2 * i, 2, parts[i])) return false;
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

// The first signing-time attribute of exactly 15 bytes. None leaves the time zero.
bool SigningTime(const CRYPT_ATTRIBUTES& attributes, FILETIME& time)
{
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (std::strcmp(attribute.pszObjId, szOID_RSA_signingTime) == 0 && attribute.cValue > 0 &&
            attribute.rgValue[0].cbData == 15) {
            return ParseUtcTime(attribute.rgValue[0], time);
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
        DerSpan in{content.data(), content.size()}, inner{};
        if (!ReadExpected(in, 0x04, inner) || in.size != 0) return L"its content cannot be read";
        content.assign(inner.data, inner.data + inner.size);
    }
    const auto& info = *reinterpret_cast<const CMSG_SIGNER_INFO*>(tokenSigner.data());
    std::vector<BYTE> digest;
    if (!MessageDigest(info.AuthAttrs, digest) ||
        !DigestMatches(info.HashAlgorithm.pszObjId, content.data(), static_cast<DWORD>(content.size()), digest)) {
        return L"its signature does not cover its content";
    }
    TstInfo tst;
    if (!ParseTstInfo(content, tst)) return L"its content cannot be read";
    const std::vector<BYTE> imprint(tst.imprint.data, tst.imprint.data + tst.imprint.size);
    if (!DigestMatches(tst.imprintHashOid.c_str(), signer.EncryptedHash.pbData, signer.EncryptedHash.cbData, imprint)) {
        return L"it does not cover this signer's signature";
    }
    time = tst.genTime;
    return StampChainProblem(cert.Get(), time, certificates.Get(), blocked);
}

}  // namespace

bool Digest(LPCSTR hashOid, const BYTE* data, DWORD size, std::vector<BYTE>& digest)
{
    const ALG_ID algorithm = hashOid ? ::CertOIDToAlgId(hashOid) : 0;
    if (algorithm == 0 || GET_ALG_CLASS(algorithm) != ALG_CLASS_HASH) return false;
    ScopedCryptProv provider;
    ScopedCryptHash hash;
    DWORD length = 0, field = sizeof(length);
    if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !::CryptCreateHash(provider.Get(), algorithm, 0, 0, hash.Put()) || !::CryptHashData(hash.Get(), data, size, 0) ||
        !::CryptGetHashParam(hash.Get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&length), &field, 0)) {
        return false;
    }
    digest.resize(length);
    return ::CryptGetHashParam(hash.Get(), HP_HASHVAL, digest.data(), &length, 0) != FALSE;
}

bool MessageDigest(const CRYPT_ATTRIBUTES& attributes, std::vector<BYTE>& digest)
{
    for (DWORD i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        if (std::strcmp(attribute.pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0) continue;
        if (attribute.cValue != 1) return false;
        DerSpan in{attribute.rgValue[0].pbData, attribute.rgValue[0].cbData}, value{};
        if (!ReadExpected(in, 0x04, value) || in.size != 0) return false;
        digest.assign(value.data, value.data + value.size);
        return true;
    }
    return false;
}

bool DigestMatches(LPCSTR hashOid, const BYTE* data, DWORD size, const std::vector<BYTE>& digest)
{
    std::vector<BYTE> computed;
    return Digest(hashOid, data, size, computed) && !digest.empty() && computed == digest;
}

std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (DWORD i = serial.cbData; i-- > 0;) {
        text += kDigits[serial.pbData[i] >> 4];
        text += kDigits[serial.pbData[i] & 0xF];
    }
    return text;
}

bool SerialTextBlocked(const LPCWSTR* blocked, const std::wstring& normalised)
{
    for (; blocked && *blocked; ++blocked) {
        if (NormalisedSerialText(*blocked) == normalised) return true;
    }
    return false;
}

bool SerialBlocked(const LPCWSTR* blocked, PCCERT_CONTEXT cert)
{
    return SerialTextBlocked(blocked, NormalisedSerialText(SerialNumberText(cert->pCertInfo->SerialNumber)));
}

bool ContentValue(const std::vector<BYTE>& content, const BYTE*& value, DWORD& size)
{
    DerSpan in{content.data(), content.size()}, inner{};
    BYTE tag = 0;
    if (!ReadElement(in, tag, inner) || in.size != 0) return false;
    value = inner.data;
    size = static_cast<DWORD>(inner.size);
    return true;
}

bool VerifyRsaSignature(PCCERT_CONTEXT cert, LPCSTR hashOid, const BYTE* data, DWORD size,
                        const CRYPT_DATA_BLOB& signature)
{
    const CERT_PUBLIC_KEY_INFO& key = cert->pCertInfo->SubjectPublicKeyInfo;
    const ALG_ID algorithm = hashOid ? ::CertOIDToAlgId(hashOid) : 0;
    if (std::strcmp(key.Algorithm.pszObjId, szOID_RSA_RSA) != 0 || algorithm == 0 || signature.cbData == 0) return false;
    ScopedCryptProv provider;
    ScopedCryptKey publicKey;
    ScopedCryptHash hash;
    if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !::CryptImportPublicKeyInfo(provider.Get(), X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(&key),
                                    publicKey.Put()) ||
        !::CryptCreateHash(provider.Get(), algorithm, 0, 0, hash.Put()) || !::CryptHashData(hash.Get(), data, size, 0)) {
        return false;
    }
    // CryptoAPI takes the signature least significant byte first.
    std::vector<BYTE> reversed(signature.pbData, signature.pbData + signature.cbData);
    std::reverse(reversed.begin(), reversed.end());
    return ::CryptVerifySignatureW(hash.Get(), reversed.data(), static_cast<DWORD>(reversed.size()), publicKey.Get(),
                                   nullptr, 0) != FALSE;
}

bool BuildChain(PCCERT_CONTEXT cert, const FILETIME* time, HCERTSTORE additional, LPCSTR usage,
                PCCERT_CHAIN_CONTEXT& chain)
{
    LPSTR usages[] = {const_cast<LPSTR>(usage)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    return ::CertGetCertificateChain(nullptr, cert, const_cast<FILETIME*>(time), additional, &para, kChainFlags,
                                     nullptr, &chain) != FALSE;
}

bool PathHolds(const CERT_SIMPLE_CHAIN& path, const FILETIME* time)
{
    if (path.cElement == 0 || (path.TrustStatus.dwErrorStatus & ~CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) return false;
    for (DWORD i = 0; i < path.cElement; ++i) {
        const CERT_CHAIN_ELEMENT& element = *path.rgpElement[i];
        if ((element.TrustStatus.dwErrorStatus & ~CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) return false;
        PCCERT_CONTEXT cert = element.pCertContext;
        PCCERT_CONTEXT issuer = i + 1 < path.cElement ? path.rgpElement[i + 1]->pCertContext : cert;
        if (::CertVerifyTimeValidity(const_cast<FILETIME*>(time), cert->pCertInfo) != 0) return false;
        if (!::CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                                 const_cast<CERT_CONTEXT*>(cert), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                                 const_cast<CERT_CONTEXT*>(issuer), 0, nullptr)) {
            return false;
        }
    }
    return true;
}

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
