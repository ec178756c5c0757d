// A signature's PKCS #7 message and the certificates it carries, as the
// signer checks read them, and whether a signer's signature holds over the
// message's content.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <wincrypt.h>

#include <vector>

// What the signer loop reads from a signature: CryptMsgGetParam of its message
// and the certificates it carries. VerifySignedFile reads the file's own
// message; anything else that can answer the same questions may stand in.
// A signature has one signed content (CMSG_CONTENT_PARAM, index 0), the
// file's, which every signer's messageDigest must match.
class ISignedMessage {
public:
    // The parameter's bytes; false (with the last error set) when the message
    // cannot give it.
    [[nodiscard]] virtual bool GetParam(DWORD type, DWORD index, std::vector<BYTE>& value) = 0;
    virtual HCERTSTORE Store() = 0;
    // Whether signer `index`'s signature (over its authenticated attributes)
    // holds with `cert`'s public key (CMSG_CTRL_VERIFY_SIGNATURE_EX).
    virtual bool VerifySignature(DWORD index, PCCERT_CONTEXT cert) = 0;

protected:
    ~ISignedMessage() = default;
};

// A signature's message and the certificates it carries: a file's embedded
// signature (CryptQueryObject), or a PKCS #7 signature decoded from its bytes.
class CSignedMessage final : public ISignedMessage {
public:
    [[nodiscard]] bool OpenFile(LPCWSTR path);
    [[nodiscard]] bool Decode(const BYTE* encoded, DWORD size);
    bool GetParam(DWORD type, DWORD index, std::vector<BYTE>& value) override;
    HCERTSTORE Store() override;
    bool VerifySignature(DWORD index, PCCERT_CONTEXT cert) override;

private:
    ScopedCertStore m_store;
    ScopedCryptMsg m_message;
};

// Whether signer `index`'s own signature holds with `cert`, and what it signed
// (its messageDigest) is the signature's content.
[[nodiscard]]
bool SignerSignsContent(ISignedMessage& message, DWORD index, const CMSG_SIGNER_INFO& info, PCCERT_CONTEXT cert);
