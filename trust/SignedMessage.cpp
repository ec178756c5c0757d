#include "common/Platform.h"

#include "trust/SignedMessage.h"

#include "trust/SignatureCrypto.h"
#include "trust/WinTrustFile.h"

bool CSignedMessage::OpenFile(LPCWSTR path)
{
    return ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, m_store.Put(), m_message.Put(),
                              nullptr) != FALSE;
}

bool CSignedMessage::Decode(const BYTE* encoded, DWORD size)
{
    m_message.Reset(::CryptMsgOpenToDecode(kSignatureEncoding, 0, 0, 0, nullptr, nullptr));
    if (!m_message || !::CryptMsgUpdate(m_message.Get(), encoded, size, TRUE)) return false;
    m_store.Reset(::CertOpenStore(CERT_STORE_PROV_MSG, kSignatureEncoding, 0, 0, m_message.Get()));
    return static_cast<bool>(m_store);
}

bool CSignedMessage::GetParam(DWORD type, DWORD index, std::vector<BYTE>& value)
{
    DWORD size = 0;
    if (!::CryptMsgGetParam(m_message.Get(), type, index, nullptr, &size)) return false;
    value.resize(size);
    return ::CryptMsgGetParam(m_message.Get(), type, index, value.data(), &size) != FALSE;
}

HCERTSTORE CSignedMessage::Store() { return m_store.Get(); }

bool CSignedMessage::VerifySignature(DWORD index, PCCERT_CONTEXT cert)
{
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{};
    para.cbSize = sizeof(para);
    para.dwSignerIndex = index;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = const_cast<CERT_CONTEXT*>(cert);
    return ::CryptMsgControl(m_message.Get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) != FALSE;
}

// The digest is taken here, over the content's value octets as Authenticode
// defines it: the platforms' own computed hashes differ on what they cover.
bool SignerSignsContent(ISignedMessage& message, DWORD index, const CMSG_SIGNER_INFO& info, PCCERT_CONTEXT cert)
{
    std::vector<BYTE> content, digest;
    const BYTE* value = nullptr;
    DWORD size = 0;
    return message.VerifySignature(index, cert) && message.GetParam(CMSG_CONTENT_PARAM, 0, content) &&
           signature_crypto::ContentValue(content, value, size) &&
           signature_crypto::MessageDigest(info.AuthAttrs, digest) &&
           signature_crypto::DigestMatches(info.HashAlgorithm.pszObjId, value, size, digest);
}
