#include "common/Platform.h"

#include "datastore/PcEncryptedFile.h"

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
    SharedBuffer plain;
    DWORD length = 0;
    const DWORD rc = ReadFileData(path, plain, length);
    if (rc != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Read file data error.");
        return rc;
    }
    if (!plain || length == 0) {
        QEL_LOG(LOG_ERROR, L"Variables not initialized.");
        return ERROR_READ_FAULT;
    }
    text.assign(reinterpret_cast<const wchar_t*>(plain.get()), length / sizeof(wchar_t));
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
    if (text.empty()) {
        QEL_LOG(LOG_ERROR, L"Invalid parameters.");
        return ERROR_INVALID_PARAMETER;
    }
    const size_t bytes = text.size() * sizeof(wchar_t);
    SharedBuffer plain = bytes <= MAXDWORD / 2 ? MakeSharedBuffer(bytes) : SharedBuffer();
    if (!plain) {
        QEL_LOG(LOG_ERROR, L"Write File Data Error.");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(plain.get(), text.data(), bytes);
    const DWORD rc = WriteFileData(path, plain, static_cast<DWORD>(bytes));
    if (rc != ERROR_SUCCESS) QEL_LOG(LOG_ERROR, L"Write File Data Error.");
    return rc;
}
