// A file kept enciphered: read and decipher, encipher and write, each as one
// whole-buffer operation. The file is exactly the ciphertext: no header, no
// length, no trailer.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"
#include "datastore/PCCrypt.h"
#include "datastore/PcFile.h"

#include <string>
#include <vector>

class CPcEncryptedFile {
public:
    // Initialises the crypt object with the key blob at once. A failure shows
    // only later: every read and write then fails (6001/6000).
    explicit CPcEncryptedFile(const SharedBuffer& keyBlob);
    virtual ~CPcEncryptedFile();

    CPcEncryptedFile(const CPcEncryptedFile&) = delete;
    CPcEncryptedFile& operator=(const CPcEncryptedFile&) = delete;

    // The plaintext as UTF-16 code units (an odd last byte is dropped).
    virtual DWORD ReadFileData(const std::wstring& path, std::wstring& text);
    // The same plaintext bytes, read and deciphered in a buffer the caller
    // keeps from call to call (no other copy of the file is made).
    virtual DWORD ReadFileData(const std::wstring& path, std::vector<BYTE>& plain);
    virtual DWORD ReadFileData(const std::wstring& path, SharedBuffer& out, DWORD& outLength);
    // The text's code units (no byte-order mark, no terminating zero), enciphered.
    virtual DWORD WriteFileData(const std::wstring& path, const std::wstring& text);
    // The code units text[0, length), enciphered in a buffer this object
    // keeps between writes (twice the text's size, see CPcCrypt).
    virtual DWORD WriteFileData(const std::wstring& path, const wchar_t* text, size_t length);
    virtual DWORD WriteFileData(const std::wstring& path, const SharedBuffer& buffer, DWORD length);

    // Whether the key blob was imported (reads and writes fail without it).
    bool KeyImported() const { return m_crypt.HasKey(); }

private:
    CPcCrypt m_crypt;
    SharedBuffer m_keyBlob;
    CPcFile m_file;
    std::vector<BYTE> m_cipher;
};
