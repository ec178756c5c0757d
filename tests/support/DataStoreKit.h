// Provisioning the data store on the test machine: the key blob in the
// registry, the store's folder, and direct looks at the file.
#pragma once

#include "common/Platform.h"

#include "config/QELConfig.h"
#include "tests/support/Machine.h"

#include <wincrypt.h>

#include <array>
#include <string>
#include <vector>

namespace datastorekit {

using AesKey = std::array<BYTE, 32>;

// The key used unless a test says otherwise.
inline AesKey TestKey()
{
    AesKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<BYTE>(i * 7 + 3);
    return key;
}

inline AesKey OtherKey()
{
    AesKey key = TestKey();
    key[0] ^= 0x5A;
    return key;
}

// A 140-byte PLAINTEXTKEYBLOB for AES-256: header, key size, key, zeros.
inline std::vector<BYTE> KeyBlob(const AesKey& key)
{
    std::vector<BYTE> blob(140, 0);
    BLOBHEADER header{};
    header.bType = PLAINTEXTKEYBLOB;
    header.bVersion = CUR_BLOB_VERSION;
    header.aiKeyAlg = CALG_AES_256;
    memcpy(blob.data(), &header, sizeof(header));
    const DWORD keySize = static_cast<DWORD>(key.size());
    memcpy(blob.data() + sizeof(header), &keySize, sizeof(keySize));
    memcpy(blob.data() + sizeof(header) + sizeof(keySize), key.data(), key.size());
    return blob;
}

inline std::wstring StoreFolder() { return testmachine::ProgramDataFolder() + L"\\Tarsen\\QEL"; }
inline std::wstring StoreFile() { return StoreFolder() + L"\\qeldata.dat"; }
inline std::wstring UnreadableCopy() { return StoreFile() + L".unreadable"; }

inline void SetKeyBlob(const std::vector<BYTE>& blob)
{
    testmachine::SetBinary(qelkeys::kCore, L"DataStore", blob.data(), static_cast<DWORD>(blob.size()));
}

// "DataStore" and "DBPath" in the core key, the folder, no file yet.
inline void Provision(const AesKey& key = TestKey())
{
    SetKeyBlob(KeyBlob(key));
    testmachine::SetString(qelkeys::kCore, L"DBPath", StoreFolder());
    testmachine::CreateFolder(StoreFolder());
    ::DeleteFileW(StoreFile().c_str());
    ::DeleteFileW(UnreadableCopy().c_str());
}

// The whole file's bytes, or nothing when it cannot be read.
inline std::vector<BYTE> FileBytes(const std::wstring& path = StoreFile()) { return testmachine::ReadBytes(path); }

// Deciphers a file with a key imported on its own (no product code), so a test
// sees exactly what the file holds. False when it does not decipher.
inline bool Decipher(const std::vector<BYTE>& cipher, const AesKey& key, std::wstring& text)
{
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return false;
    const std::vector<BYTE> blob = KeyBlob(key);
    HCRYPTKEY handle = 0;
    bool ok = false;
    if (::CryptImportKey(provider, blob.data(), 140, 0, 0, &handle)) {
        std::vector<BYTE> data = cipher;
        DWORD length = static_cast<DWORD>(data.size());
        if (!data.empty() && ::CryptDecrypt(handle, 0, TRUE, 0, data.data(), &length)) {
            text.assign(reinterpret_cast<const wchar_t*>(data.data()), length / sizeof(wchar_t));
            ok = true;
        }
        ::CryptDestroyKey(handle);
    }
    ::CryptReleaseContext(provider, 0);
    return ok;
}

inline bool ReadStoreText(std::wstring& text, const AesKey& key = TestKey())
{
    return Decipher(FileBytes(), key, text);
}

// Enciphers text (UTF-16LE, no BOM) the way the store does, independently of the product.
inline std::vector<BYTE> Encipher(const std::wstring& text, const AesKey& key = TestKey())
{
    std::vector<BYTE> data(reinterpret_cast<const BYTE*>(text.data()),
                           reinterpret_cast<const BYTE*>(text.data()) + text.size() * sizeof(wchar_t));
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return {};
    const std::vector<BYTE> blob = KeyBlob(key);
    HCRYPTKEY handle = 0;
    std::vector<BYTE> out;
    if (::CryptImportKey(provider, blob.data(), 140, 0, 0, &handle)) {
        DWORD length = static_cast<DWORD>(data.size());
        data.resize(data.size() + 32);
        if (::CryptEncrypt(handle, 0, TRUE, 0, data.data(), &length, static_cast<DWORD>(data.size()))) {
            data.resize(length);
            out = data;
        }
        ::CryptDestroyKey(handle);
    }
    ::CryptReleaseContext(provider, 0);
    return out;
}

inline void WriteStoreText(const std::wstring& text, const AesKey& key = TestKey())
{
    const std::vector<BYTE> cipher = Encipher(text, key);
    testmachine::WriteBytes(StoreFile(), cipher.data(), cipher.size());
}

// The text of an empty document in its fixed form.
inline const wchar_t* EmptyDocument()
{
    return L"{ \"oobe\":{},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{},\"Entitlement\":{} }";
}

}  // namespace datastorekit
