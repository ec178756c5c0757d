#include "common/Platform.h"

#include "datastore/PcEncryptedFile.h"

#include "common/ExceptionBoundary.h"
#include "logging/Log.h"

#include <cstring>

CPcEncryptedFile::CPcEncryptedFile(const SharedBuffer& keyBlob) : m_keyBlob(keyBlob)
{
    m_crypt.Init(m_keyBlob);
}

CPcEncryptedFile::~CPcEncryptedFile()
{
    m_crypt.Close();
    m_file.Close();
    m_keyBlob.reset();
}

DWORD CPcEncryptedFile::ReadFileData(const std::wstring& path, SharedBuffer& out, DWORD& outLength)
{
    SharedBuffer cipher;
    DWORD cipherLength = 0;
    if (m_file.ReadFromFile(path, cipher, cipherLength) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error: Decryption failed to read from file.");
        return ERROR_DECRYPTION_FAILED;
    }
    if (m_crypt.DecryptData(cipher.get(), cipherLength, out, outLength) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error: Decryption failed.");
        return ERROR_DECRYPTION_FAILED;
    }
    return ERROR_SUCCESS;
}

DWORD CPcEncryptedFile::ReadFileData(const std::wstring& path, std::wstring& text)
{
    std::vector<BYTE> plain;
    const DWORD rc = ReadFileData(path, plain);
    if (rc == ERROR_SUCCESS) text.assign(reinterpret_cast<const wchar_t*>(plain.data()), plain.size() / sizeof(wchar_t));
    return rc;
}

DWORD CPcEncryptedFile::ReadFileData(const std::wstring& path, std::vector<BYTE>& plain)
{
    DWORD rc = ERROR_SUCCESS;
    if (m_file.ReadFromFile(path, plain) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error: Decryption failed to read from file.");
        rc = ERROR_DECRYPTION_FAILED;
    } else if (m_crypt.DecryptInPlace(plain) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error: Decryption failed.");
        rc = ERROR_DECRYPTION_FAILED;
    }
    if (rc != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Read file data error.");
        return rc;
    }
    if (plain.empty()) {
        QEL_LOG(LOG_ERROR, L"Variables not initialized.");
        return ERROR_READ_FAULT;
    }
    return ERROR_SUCCESS;
}

DWORD CPcEncryptedFile::WriteFileData(const std::wstring& path, const SharedBuffer& buffer, DWORD length)
{
    if (!buffer || length == 0) {
        QEL_LOG(LOG_ERROR, L"Invalid parameters.");
        return ERROR_INVALID_PARAMETER;
    }
    SharedBuffer cipher;
    DWORD cipherLength = 0;
    if (m_crypt.EncryptData(buffer.get(), length, cipher, cipherLength) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Encryption failed.");
        return ERROR_ENCRYPTION_FAILED;
    }
    if (!cipher || cipherLength == 0) {
        QEL_LOG(LOG_ERROR, L"Invalid parameters, variable issues");
        return ERROR_ENCRYPTION_FAILED;
    }
    if (m_file.WriteToFile(path, cipher, cipherLength) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"File write error");
        return ERROR_ENCRYPTION_FAILED;
    }
    return ERROR_SUCCESS;
}

DWORD CPcEncryptedFile::WriteFileData(const std::wstring& path, const std::wstring& text)
{
    return WriteFileData(path, text.data(), text.size());
}

DWORD CPcEncryptedFile::WriteFileData(const std::wstring& path, const wchar_t* text, size_t length)
{
    if (!text || length == 0) {
        QEL_LOG(LOG_ERROR, L"Invalid parameters.");
        return ERROR_INVALID_PARAMETER;
    }
    const size_t bytes = length * sizeof(wchar_t);
    DWORD rc = bytes <= MAXDWORD / 2 ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
    DWORD cipherLength = 0;
    if (rc == ERROR_SUCCESS) {
        // Reported below, with the write's other failures.
        rc = boundary::Answer({}, [&] {
            // The whole room at once: enciphering needs twice the text.
            m_cipher.reserve(2 * bytes);
            const BYTE* first = reinterpret_cast<const BYTE*>(text);
            m_cipher.assign(first, first + bytes);
            return DWORD{ERROR_SUCCESS};
        });
    }
    if (rc == ERROR_SUCCESS && m_crypt.EncryptInPlace(m_cipher, static_cast<DWORD>(bytes), cipherLength) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Encryption failed.");
        rc = ERROR_ENCRYPTION_FAILED;
    }
    if (rc == ERROR_SUCCESS && m_file.WriteToFile(path, m_cipher.data(), cipherLength) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"File write error");
        rc = ERROR_ENCRYPTION_FAILED;
    }
    if (rc != ERROR_SUCCESS) QEL_LOG(LOG_ERROR, L"Write File Data Error.");
    return rc;
}
