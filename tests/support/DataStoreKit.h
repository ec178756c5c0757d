// Provisioning the data store on the test machine: the key blob in the
// registry, the store's folder, and direct looks at the file.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "config/QELConfig.h"
#include "datastore/QelPersistenceData.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <vector>

namespace datastorekit {

using AesKey = std::array<BYTE, 32>;

// The key used unless a test says otherwise, and one that differs from it.
inline AesKey TestKey(BYTE flip = 0)
{
    AesKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<BYTE>(i * 7 + 3);
    key[0] ^= flip;
    return key;
}
inline AesKey OtherKey() { return TestKey(0x5A); }

// A 140-byte PLAINTEXTKEYBLOB: header (version 2, CALG_AES_256), key size 32, the key, zeros.
inline std::vector<BYTE> KeyBlob(const AesKey& key)
{
    const BYTE header[12] = {PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, 0, 0x10, 0x66, 0, 0, 32, 0, 0, 0};
    std::vector<BYTE> blob(140, 0);
    std::copy(key.begin(), key.end(), std::copy(std::begin(header), std::end(header), blob.begin()));
    return blob;
}

inline std::wstring StoreFolder() { return testmachine::ProgramDataFolder() + L"\\Tarsen\\QEL"; }
inline std::wstring StoreFile() { return StoreFolder() + L"\\qeldata.dat"; }
inline std::wstring UnreadableCopy() { return StoreFile() + L".unreadable"; }
inline std::vector<BYTE> FileBytes(const std::wstring& path = StoreFile()) { return testmachine::ReadBytes(path); }
inline void Write(const std::vector<BYTE>& bytes, const std::wstring& path = StoreFile())
{
    testmachine::WriteBytes(path, bytes.data(), bytes.size());
}

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

// AES-256-CBC (IV 0, PKCS#7) in place, with a key imported on its own (no
// product code), so a test sees exactly what a file holds. False on failure.
inline bool Cipher(bool encrypt, std::vector<BYTE>& data, const AesKey& key)
{
    ScopedCryptProv provider;
    ScopedCryptKey handle;
    const std::vector<BYTE> blob = KeyBlob(key);
    DWORD length = static_cast<DWORD>(data.size());
    data.resize(length + 16);
    const bool ok =
        length && ::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        ::CryptImportKey(provider.Get(), blob.data(), 140, 0, 0, handle.Put()) &&
        (encrypt ? ::CryptEncrypt(handle.Get(), 0, TRUE, 0, data.data(), &length, static_cast<DWORD>(data.size()))
                 : ::CryptDecrypt(handle.Get(), 0, TRUE, 0, data.data(), &length));
    data.resize(ok ? length : 0);
    return ok;
}

// Text (UTF-16LE, no BOM) enciphered the way the store does, independently of the product.
inline std::vector<BYTE> Encipher(const std::wstring& text, const AesKey& key = TestKey())
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
    std::vector<BYTE> data(bytes, bytes + text.size() * sizeof(wchar_t));
    return Cipher(true, data, key) ? data : std::vector<BYTE>();
}
inline void WriteStoreText(const std::wstring& text, const AesKey& key = TestKey()) { Write(Encipher(text, key)); }

// The store file's text, or a marker no document equals when it does not decipher.
inline std::wstring StoreText(const AesKey& key = TestKey())
{
    std::vector<BYTE> data = FileBytes();
    if (!Cipher(false, data, key)) return L"(the store file does not decipher)";
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
}

// The text of an empty document, in its fixed form.
inline std::wstring EmptyDocument()
{
    return L"{ \"oobe\":{},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{},\"Entitlement\":{} }";
}

// Tests on a machine with nothing of ours but a provisioned store (no file yet), starting with an empty log.
class ProvisionedStoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
        Provision();
        // The process's document caches the key blob across cycles; start from what the registry holds now.
        CQelDbAutoSave(false).GetJsonFormat()->ResetData();
        TestLog().Clear();
    }
};

}  // namespace datastorekit
