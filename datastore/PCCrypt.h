// One CryptoAPI provider context and one imported key, enciphering or
// deciphering a whole buffer in one call. The key is the data store key blob;
// its header decides cipher, mode and padding (this class sets no key
// parameter of its own).
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"
#include "common/UniqueHandle.h"

#include <wincrypt.h>

#include <string>
#include <vector>

class CPcCrypt {
public:
    // The key container the provider context is opened on, in the machine key set.
    static constexpr wchar_t kKeyContainer[] = L"Orvel_Security";
    // Every key blob handed to this class is exactly this long.
    static constexpr DWORD kKeyBlobLength = 140;

    CPcCrypt() = default;
    virtual ~CPcCrypt() = default;  // hash, then key, then provider (member order)

    CPcCrypt(const CPcCrypt&) = delete;
    CPcCrypt& operator=(const CPcCrypt&) = delete;

    // Provider, key import, hash object; stops at the first failure.
    virtual DWORD Init(const SharedBuffer& keyBlob);
    // out = the plaintext (padding removed); outputs untouched on failure.
    virtual DWORD DecryptData(const BYTE* input, DWORD inputSize, SharedBuffer& out, DWORD& outLength);
    // Text form: the text's code units in, the result's code units out; 1359 on any failure.
    virtual DWORD DecryptData(const std::wstring& input, std::wstring& output);
    // out = the ciphertext of the whole input as one final block sequence, in a
    // buffer of 2 x input size (inputs too short for one padded block do not fit).
    virtual DWORD EncryptData(const BYTE* input, DWORD inputSize, SharedBuffer& out, DWORD& outLength);
    virtual DWORD EncryptData(const std::wstring& input, std::wstring& output);
    // The same operations on a buffer the caller keeps from call to call.
    // Decrypt: data holds the ciphertext and is left holding the plaintext.
    // Encrypt: the first inputSize bytes of buffer are the plaintext; the
    // buffer is sized to the same 2 x inputSize room EncryptData gives and
    // holds the ciphertext's outLength bytes after it. On failure the
    // buffer's content is unspecified.
    [[nodiscard]] virtual DWORD DecryptInPlace(std::vector<BYTE>& data);
    [[nodiscard]] virtual DWORD EncryptInPlace(std::vector<BYTE>& buffer, DWORD inputSize, DWORD& outLength);
    virtual void Close();
    virtual DWORD importKeyBlob(const SharedBuffer& keyBlob);
    // The "Orvel_Security" container of the machine key set, created when missing.
    virtual DWORD initProvider();
    virtual DWORD generateHash();
    virtual void releaseHandles();

    bool HasKey() const { return m_key.IsValid(); }

private:
    [[nodiscard]] DWORD checkInput(const BYTE* input, DWORD inputSize, bool encrypt);
    [[nodiscard]] DWORD decryptFinal(BYTE* data, DWORD& length);
    [[nodiscard]] DWORD encryptFinal(BYTE* data, DWORD& length, DWORD bufferSize);

    ScopedCryptProv m_provider;
    ScopedCryptKey m_key;
    ScopedCryptHash m_hash;
    DWORD m_blockBytes = 0;  // the imported key's cipher block, 0 for none
};
