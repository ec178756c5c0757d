#include "common/Platform.h"

#include "trust/SignatureCrypto.h"

#include "common/UniqueHandle.h"
#include "trust/PolicyText.h"
#include "trust/SignedDataReader.h"
#include "trust/WinTrustFile.h"

#include <algorithm>
#include <cstring>

namespace signature_crypto {
namespace {

// CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS
constexpr DWORD kChainFlags = 0x84;

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
        der::Span value{};
        if (!der::OctetStringValue({attribute.rgValue[0].pbData, attribute.rgValue[0].cbData}, value)) return false;
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
    der::Span inner{};
    if (!der::ContentValue({content.data(), content.size()}, inner)) return false;
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

}  // namespace signature_crypto
