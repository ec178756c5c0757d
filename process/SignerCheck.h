// The check of one file's Authenticode signature against an accepted-signer
// policy: publisher names, root-certificate thumbprints and blocked serial
// numbers. The signature is read only from a signature area that holds it and
// nothing else (SignatureArea.h). The file is trusted when one of its signers
// passes every step: not blocked, an accepted publisher name, its own
// signature over the file's signed content, a valid code-signing chain at its
// verified time stamp's time (or now; a stamp counts only when no certificate
// on its own chain is blocked) that ends in an accepted root on a path that
// holds by itself, the Authenticode time-stamp chain policy, and WinVerifyTrust
// on the file.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <wincrypt.h>

#include <string>
#include <vector>

// A root certificate's SHA-1 thumbprint as a policy lists it. `size` is 20 for
// a usable entry; a policy file line that is not a hex number of 40 digits
// keeps its place in the list with size 0 and matches no certificate.
struct RootThumbprint {
    BYTE bytes[20] = {};
    DWORD size = 0;
};

// A policy's lists. A missing list (null) and an empty one differ:
// - publisher names (null-terminated, compared without case with the signer
//   certificate's display name): missing accepts any name, empty none;
// - root thumbprints (with their count): missing or empty accepts any root;
// - blocked serial numbers (null-terminated hex text, compared without case):
//   a signer whose certificate serial number is listed is skipped.
struct AcceptedSigners {
    const LPCWSTR* publisherNames = nullptr;
    const RootThumbprint* rootThumbprints = nullptr;
    DWORD thumbprintCount = 0;
    const LPCWSTR* blockedSerials = nullptr;
};

// True when one signer of the file at `path` satisfies the policy.
bool VerifySignedFile(LPCWSTR path, const LPCWSTR* publisherNames, const RootThumbprint* rootThumbprints,
                      DWORD thumbprintCount, const LPCWSTR* blockedSerials);

// What the signer loop reads from a signature: CryptMsgGetParam of its message
// and the certificates it carries. VerifySignedFile reads the file's own
// message; anything else that can answer the same questions may stand in.
// A signature has one signed content (CMSG_CONTENT_PARAM, index 0), the
// file's, which every signer's messageDigest must match.
class ISignedMessage {
public:
    // The parameter's bytes; false (with the last error set) when the message
    // cannot give it.
    virtual bool GetParam(DWORD type, DWORD index, std::vector<BYTE>& value) = 0;
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
    bool OpenFile(LPCWSTR path);
    bool Decode(const BYTE* encoded, DWORD size);
    bool GetParam(DWORD type, DWORD index, std::vector<BYTE>& value) override;
    HCERTSTORE Store() override;
    bool VerifySignature(DWORD index, PCCERT_CONTEXT cert) override;

private:
    ScopedCertStore m_store;
    ScopedCryptMsg m_message;
};

// The signer loop of VerifySignedFile over `message`, for the file at `path`
// (which WinVerifyTrust judges for each signer that gets that far).
bool VerifySigners(ISignedMessage& message, LPCWSTR path, const AcceptedSigners& policy);

// Whether signer `index`'s own signature holds with `cert`, and what it signed
// (its messageDigest) is the signature's content.
bool SignerSignsContent(ISignedMessage& message, DWORD index, const CMSG_SIGNER_INFO& info, PCCERT_CONTEXT cert);
