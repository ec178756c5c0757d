#include "common/Platform.h"

#include "datastore/PCCrypt.h"

#include "common/ExceptionBoundary.h"
#include "logging/Log.h"
#include "logging/LoggedBoundary.h"

#include <cstring>

DWORD CPcCrypt::Init(const SharedBuffer& keyBlob)
{
    DWORD rc = initProvider();
    if (rc != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error initializing provider");
        return rc;
    }
    rc = importKeyBlob(keyBlob);
    if (rc != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error importing key blob.");
        return rc;
    }
    rc = generateHash();
    if (rc != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error generating hash object.");
        return rc;
    }
    return ERROR_SUCCESS;
}

DWORD CPcCrypt::initProvider()
{
    if (m_provider) return ERROR_SUCCESS;
    // The machine key set, so that every user's process opens the same container.
    if (::CryptAcquireContextW(m_provider.Put(), kKeyContainer, nullptr, PROV_RSA_AES, CRYPT_MACHINE_KEYSET)) {
        return ERROR_SUCCESS;
    }
    if (::CryptAcquireContextW(m_provider.Put(), kKeyContainer, nullptr, PROV_RSA_AES,
                               CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = ::GetLastError();
    QEL_LOG(LOG_ERROR, L"Failed to initialize provider.");
    return error;
}

DWORD CPcCrypt::importKeyBlob(const SharedBuffer& keyBlob)
{
    if (!keyBlob) {
        QEL_LOG(LOG_ERROR, L"Failed to import keyblob. Not initialized.");
        return ERROR_INVALID_STATE;
    }
    if (!::CryptImportKey(m_provider.Get(), keyBlob.get(), kKeyBlobLength, 0, 0, m_key.Put())) {
        QEL_LOG(LOG_ERROR, L"Failed to import keyblob. Bad key. %i", static_cast<int>(::GetLastError()));
        return ERROR_INTERNAL_ERROR;
    }
    // The cipher's block length in bits; 0 for a stream cipher (or when the
    // provider does not tell), and then any length is whole blocks.
    DWORD bits = 0;
    DWORD size = sizeof(bits);
    m_blockBytes = ::CryptGetKeyParam(m_key.Get(), KP_BLOCKLEN, reinterpret_cast<BYTE*>(&bits), &size, 0) ? bits / 8 : 0;
    return ERROR_SUCCESS;
}

DWORD CPcCrypt::generateHash()
{
    if (!m_provider) {
        QEL_LOG(LOG_ERROR, L"Generated Hash failed, provider object not initialized.");
        return ERROR_INVALID_STATE;
    }
    // Nothing uses this hash; creating it proves the provider can make one.
    if (!m_hash && !::CryptCreateHash(m_provider.Get(), CALG_MD5, 0, 0, m_hash.Put())) return ::GetLastError();
    return ERROR_SUCCESS;
}

// The checks both directions make first, logged under the public operation's name.
DWORD CPcCrypt::checkInput(const BYTE* input, DWORD inputSize, bool encrypt)
{
    const wchar_t* const function = encrypt ? L"CPcCrypt::EncryptData" : L"CPcCrypt::DecryptData";
    const wchar_t* const direction = encrypt ? L"Encrypt" : L"Decrypt";
    if (!m_key) {
        QEL_LOG_AS(LOG_ERROR, L"PCCrypt.cpp", function, L"%s data failed, key not initialized.", direction);
        return ERROR_INVALID_STATE;
    }
    if (inputSize == 0 || !input) {
        QEL_LOG_AS(LOG_ERROR, L"PCCrypt.cpp", function, L"%s data failed, size and input are invalid.", direction);
        return ERROR_INVALID_PARAMETER;
    }
    // Enciphering needs room for twice the input.
    return !encrypt || inputSize <= MAXDWORD / 2 ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

DWORD CPcCrypt::encryptFinal(BYTE* data, DWORD& length, DWORD bufferSize)
{
    if (!::CryptEncrypt(m_key.Get(), 0, TRUE, 0, data, &length, bufferSize)) {
        const DWORD error = ::GetLastError();
        QEL_LOG_AS(LOG_ERROR, L"PCCrypt.cpp", L"CPcCrypt::EncryptData", L"Encrypt data failed, CryptEncrypt call failed.");
        return error != ERROR_SUCCESS ? error : ERROR_ENCRYPTION_FAILED;
    }
    return ERROR_SUCCESS;
}

DWORD CPcCrypt::decryptFinal(BYTE* data, DWORD& length)
{
    // A block cipher's ciphertext is whole blocks. Windows refuses any other
    // length with NTE_BAD_DATA; some providers instead read past the buffer,
    // so such a length (a truncated or damaged file) never reaches the platform.
    const bool wholeBlocks = m_blockBytes == 0 || length % m_blockBytes == 0;
    if (!wholeBlocks) ::SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
    if (!wholeBlocks || !::CryptDecrypt(m_key.Get(), 0, TRUE, 0, data, &length)) {
        const DWORD error = ::GetLastError();
        QEL_LOG_AS(LOG_ERROR, L"PCCrypt.cpp", L"CPcCrypt::DecryptData", L"Decrypt data failed, CryptDecrypt call failed.");
        return error != ERROR_SUCCESS ? error : ERROR_DECRYPTION_FAILED;
    }
    return ERROR_SUCCESS;
}

DWORD CPcCrypt::EncryptData(const BYTE* input, DWORD inputSize, SharedBuffer& out, DWORD& outLength)
{
    DWORD rc = checkInput(input, inputSize, true);
    // Room for the padding in the same buffer, so one final call suffices.
    const DWORD bufferSize = 2 * inputSize;
    SharedBuffer buffer = rc == ERROR_SUCCESS ? MakeSharedBuffer(bufferSize) : SharedBuffer();
    if (rc == ERROR_NOT_ENOUGH_MEMORY || (rc == ERROR_SUCCESS && !buffer)) {
        QEL_LOG(LOG_ERROR, L"Encrypt data failed, memory related problems.");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (rc != ERROR_SUCCESS) return rc;
    std::memset(buffer.get(), 0, bufferSize);
    std::memcpy(buffer.get(), input, inputSize);
    DWORD length = inputSize;
    rc = encryptFinal(buffer.get(), length, bufferSize);
    if (rc != ERROR_SUCCESS) return rc;
    out = buffer;
    outLength = length;
    return ERROR_SUCCESS;
}

DWORD CPcCrypt::EncryptInPlace(std::vector<BYTE>& buffer, DWORD inputSize, DWORD& outLength)
{
    DWORD rc = checkInput(buffer.data(), inputSize <= buffer.size() ? inputSize : 0, true);
    if (rc == ERROR_SUCCESS) {
        // Reported below, as the byte form reports it.
        rc = boundary::Answer({}, [&] {
            buffer.resize(2 * static_cast<size_t>(inputSize));
            return DWORD{ERROR_SUCCESS};
        });
    }
    if (rc == ERROR_NOT_ENOUGH_MEMORY) {
        QEL_LOG_AS(LOG_ERROR, L"PCCrypt.cpp", L"CPcCrypt::EncryptData", L"Encrypt data failed, memory related problems.");
        return rc;
    }
    if (rc != ERROR_SUCCESS) return rc;
    DWORD length = inputSize;
    rc = encryptFinal(buffer.data(), length, static_cast<DWORD>(buffer.size()));
    if (rc == ERROR_SUCCESS) outLength = length;
    return rc;
}

DWORD CPcCrypt::DecryptData(const BYTE* input, DWORD inputSize, SharedBuffer& out, DWORD& outLength)
{
    DWORD rc = checkInput(input, inputSize, false);
    if (rc != ERROR_SUCCESS) return rc;
    SharedBuffer buffer = MakeSharedBuffer(inputSize);
    if (!buffer) {
        QEL_LOG(LOG_ERROR, L"Decrypt data failed, memory related issues.");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(buffer.get(), input, inputSize);
    DWORD length = inputSize;
    rc = decryptFinal(buffer.get(), length);
    if (rc != ERROR_SUCCESS) return rc;
    out = buffer;
    outLength = length;
    return ERROR_SUCCESS;
}

DWORD CPcCrypt::DecryptInPlace(std::vector<BYTE>& data)
{
    const DWORD size = data.size() <= MAXDWORD ? static_cast<DWORD>(data.size()) : 0;
    DWORD rc = checkInput(data.data(), size, false);
    DWORD length = size;
    if (rc == ERROR_SUCCESS) rc = decryptFinal(data.data(), length);
    if (rc == ERROR_SUCCESS) data.resize(length);
    return rc;
}

namespace {

// The byte form of an operation over the code units of a text.
template <typename ByteOperation>
DWORD OverText(const wchar_t* operationName, const std::wstring& input, std::wstring& output,
               ByteOperation operation)
{
    // Whatever throws inside is an internal error here, running out of memory included.
    return boundary::Logged({L"PCCrypt.cpp", operationName}, L"Catch triggered, internal error found.",
                            {.noMemory = ERROR_INTERNAL_ERROR, .other = ERROR_INTERNAL_ERROR}, [&] {
        const size_t bytes = input.size() * sizeof(wchar_t);
        SharedBuffer in = bytes <= MAXDWORD ? MakeSharedBuffer(bytes) : SharedBuffer();
        if (!in) {
            QEL_LOG_AS(LOG_ERROR, L"PCCrypt.cpp", operationName, L"Unable to create the input buffer.");
            return DWORD{ERROR_NOT_ENOUGH_MEMORY};
        }
        if (bytes) std::memcpy(in.get(), input.data(), bytes);
        SharedBuffer out;
        DWORD outLength = 0;
        if (operation(bytes ? in.get() : nullptr, static_cast<DWORD>(bytes), out, outLength) != ERROR_SUCCESS) {
            return DWORD{ERROR_INTERNAL_ERROR};
        }
        output.assign(reinterpret_cast<const wchar_t*>(out.get()), outLength / sizeof(wchar_t));
        return DWORD{ERROR_SUCCESS};
    });
}

}  // namespace

DWORD CPcCrypt::DecryptData(const std::wstring& input, std::wstring& output)
{
    QEL_LOG(LOG_NORMAL, L"Decrypt initializtion begining.");
    return OverText(L"CPcCrypt::DecryptData", input, output,
                    [this](const BYTE* in, DWORD size, SharedBuffer& out, DWORD& length) {
        return DecryptData(in, size, out, length);
    });
}

DWORD CPcCrypt::EncryptData(const std::wstring& input, std::wstring& output)
{
    QEL_LOG(LOG_NORMAL, L"Encrypt initializtion begining.");
    return OverText(L"CPcCrypt::EncryptData", input, output,
                    [this](const BYTE* in, DWORD size, SharedBuffer& out, DWORD& length) {
        return EncryptData(in, size, out, length);
    });
}

void CPcCrypt::Close() { releaseHandles(); }

void CPcCrypt::releaseHandles()
{
    m_hash.Reset();
    m_key.Reset();
    m_provider.Reset();
}
