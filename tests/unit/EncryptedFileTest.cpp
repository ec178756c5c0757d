// The file and cipher layers under the data store: whole-file reads and
// writes, the key import, whole-buffer encryption, and a file that holds
// exactly the ciphertext.
#include "common/Platform.h"

#include "datastore/PCCrypt.h"
#include "datastore/PcEncryptedFile.h"
#include "datastore/PcFile.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>

namespace {

namespace kit = datastorekit;
using Lines = std::vector<std::wstring>;

SharedBuffer Buffer(const std::vector<BYTE>& bytes)
{
    SharedBuffer buffer = MakeSharedBuffer(bytes.size());
    if (!bytes.empty()) memcpy(buffer.get(), bytes.data(), bytes.size());
    return buffer;
}

SharedBuffer Blob(const kit::AesKey& key = kit::TestKey()) { return Buffer(kit::KeyBlob(key)); }

std::vector<BYTE> Bytes(const SharedBuffer& buffer, DWORD length)
{
    return std::vector<BYTE>(buffer.get(), buffer.get() + length);
}

class EncryptedFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        testmachine::CreateFolder(folder);
        ::DeleteFileW(path.c_str());
        TestLog().Clear();
    }

    const std::wstring folder = testmachine::ProgramDataFolder() + L"\\EncryptedFileTest";
    const std::wstring path = folder + L"\\file.bin";
};

TEST_F(EncryptedFileTest, PcFileReadsAndReplacesWholeFiles)
{
    CPcFile file;
    EXPECT_FALSE(file.FileExists(path));
    ASSERT_EQ(file.WriteToFile(path, Buffer({1, 2, 3, 4, 5, 6}), 6), 0u);
    EXPECT_TRUE(file.FileExists(path));
    ASSERT_EQ(file.WriteToFile(path, Buffer({9, 8, 7}), 3), 0u);
    SharedBuffer read;
    DWORD length = 0;
    ASSERT_EQ(file.ReadFromFile(path, read, length), 0u);
    EXPECT_EQ(Bytes(read, length), (std::vector<BYTE>{9, 8, 7})) << "replaced, not overwritten in part";
    // Text: code units; an odd last byte is dropped.
    std::wstring text;
    ASSERT_EQ(file.ReadFromFile(path, text), 0u);
    EXPECT_EQ(text, std::wstring(1, static_cast<wchar_t>(0x0809)));
    ASSERT_EQ(file.WriteToFile(path, std::wstring(L"h\x00e9")), 0u);
    EXPECT_EQ(testmachine::ReadBytes(path), (std::vector<BYTE>{'h', 0, 0xe9, 0}));
    // No handle is held between calls.
    EXPECT_EQ(file.Close(), static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(INVALID_HANDLE_VALUE)));
    EXPECT_TRUE(::DeleteFileW(path.c_str()));

    const std::wstring empty = folder + L"\\empty.bin", noFolder = folder + L"\\no\\x";
    testmachine::WriteBytes(empty, "", 0);
    const std::wstring invalid = L"Invalid parameters.", notFound = L"Error: File not found.";
    const std::tuple<std::function<DWORD()>, DWORD, Lines> failures[] = {
        {[&] { return file.ReadFromFile(L"", read, length); }, 87, {invalid}},
        {[&] { return file.ReadFromFile(path, text); }, 2, {notFound, L"Read file data error."}},
        {[&] { return file.ReadFromFile(empty, text); }, 30, {L"Variables not initialized."}},
        {[&] { return file.WriteToFile(L"", Buffer({1}), 1); }, 87, {}},
        {[&] { return file.WriteToFile(path, SharedBuffer(), 1); }, 87, {}},
        {[&] { return file.WriteToFile(path, Buffer({1}), 0); }, 87, {}},
        {[&] { return file.WriteToFile(path, std::wstring()); }, 87, {invalid}},
        {[&] { return file.WriteToFile(noFolder, L"t"); }, 2, {notFound, L"Write File Data Error."}},
    };
    for (size_t i = 0; i < std::size(failures); ++i) {
        const auto& [call, rc, lines] = failures[i];
        TestLog().Clear();
        EXPECT_EQ(call(), rc) << "failure " << i;
        EXPECT_EQ(TestLog().Texts(), lines) << "failure " << i;
        EXPECT_FALSE(testmachine::FileExists(path)) << "failure " << i;
    }
    EXPECT_EQ(text, std::wstring(1, static_cast<wchar_t>(0x0809))) << "outputs untouched on failure";
}

TEST_F(EncryptedFileTest, KeyImport)
{
    // The machine key container is made when it is missing.
    HCRYPTPROV probe = 0;
    ::CryptAcquireContextW(&probe, CPcCrypt::kKeyContainer, nullptr, PROV_RSA_AES,
                           CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET);
    ASSERT_FALSE(::CryptAcquireContextW(&probe, CPcCrypt::kKeyContainer, nullptr, PROV_RSA_AES, CRYPT_MACHINE_KEYSET));
    CPcCrypt crypt;
    EXPECT_EQ(crypt.Init(Blob()), 0u);
    EXPECT_TRUE(crypt.HasKey());
    ASSERT_TRUE(::CryptAcquireContextW(&probe, CPcCrypt::kKeyContainer, nullptr, PROV_RSA_AES, CRYPT_MACHINE_KEYSET));
    ::CryptReleaseContext(probe, 0);
    EXPECT_EQ(crypt.Init(Blob(kit::OtherKey())), 0u) << "a second Init keeps the provider";
    EXPECT_TRUE(TestLog().Lines().empty());

    CPcCrypt failed;
    EXPECT_EQ(failed.Init(SharedBuffer()), 5023u);
    EXPECT_EQ(TestLog().Texts(), (Lines{L"Failed to import keyblob. Not initialized.", L"Error importing key blob."}));
    EXPECT_EQ(TestLog().Lines().at(0).function, L"CPcCrypt::importKeyBlob");
    EXPECT_EQ(TestLog().Lines().at(1).function, L"CPcCrypt::Init");
    TestLog().Clear();
    EXPECT_EQ(failed.Init(Buffer(std::vector<BYTE>(140, 0x41))), 1359u);
    EXPECT_FALSE(failed.HasKey());
    ASSERT_EQ(TestLog().Texts().size(), 2u);
    EXPECT_EQ(TestLog().Texts()[0].substr(0, 35), L"Failed to import keyblob. Bad key. ");

    // Without a key nothing is enciphered or deciphered, and the outputs stay as they were.
    SharedBuffer out;
    DWORD length = 77;
    const BYTE data[32] = {};
    TestLog().Clear();
    EXPECT_EQ(failed.EncryptData(data, 32, out, length), 5023u);
    EXPECT_EQ(failed.DecryptData(data, 32, out, length), 5023u);
    EXPECT_EQ(TestLog().Texts(),
              (Lines{L"Encrypt data failed, key not initialized.", L"Decrypt data failed, key not initialized."}));
    EXPECT_FALSE(out);
    EXPECT_EQ(length, 77u);
}

TEST_F(EncryptedFileTest, WholeBufferEncryptionFitsInTwiceTheInput)
{
    CPcCrypt crypt;
    ASSERT_EQ(crypt.Init(Blob()), 0u);
    // AES-CBC with PKCS#7: the ciphertext is the input rounded up to the next
    // whole block. Inputs shorter than 8 bytes do not fit twice their size (234).
    const std::pair<DWORD, DWORD> sizes[] = {{1, 0}, {7, 0}, {8, 16}, {15, 16}, {16, 32}, {1000, 1008}};
    for (const auto& [size, cipherSize] : sizes) {
        std::vector<BYTE> plain(size);
        for (DWORD i = 0; i < size; ++i) plain[i] = static_cast<BYTE>(i * 13);
        SharedBuffer cipher, back;
        DWORD cipherLength = 0, backLength = 0;
        TestLog().Clear();
        EXPECT_EQ(crypt.EncryptData(plain.data(), size, cipher, cipherLength), cipherSize ? 0u : 234u) << size;
        EXPECT_EQ(cipherLength, cipherSize);
        EXPECT_EQ(TestLog().Has(L"Encrypt data failed, CryptEncrypt call failed."), cipherSize == 0);
        if (!cipher) continue;
        ASSERT_EQ(crypt.DecryptData(cipher.get(), cipherLength, back, backLength), 0u);
        EXPECT_EQ(Bytes(back, backLength), plain);
    }

    // The text forms work on the code units.
    const std::wstring plain = L"{ \"oobe\":{} } \x00e9\xd83d\xde00";
    std::wstring cipher, back = L"unchanged";
    EXPECT_EQ(crypt.EncryptData(L"ab", back), 1359u) << "too short for one block in twice its size";
    EXPECT_EQ(back, L"unchanged");
    ASSERT_EQ(crypt.EncryptData(plain, cipher), 0u);
    ASSERT_EQ(crypt.DecryptData(cipher, back), 0u);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(TestLog().Find(L"Decrypt initializtion begining.").level, 1u);

    TestLog().Clear();
    SharedBuffer out;
    DWORD length = 0;
    const BYTE one = 1;
    const std::vector<BYTE> garbage(48, 0x5A);  // not a ciphertext of this key
    EXPECT_EQ(crypt.EncryptData(&one, 0, out, length), 87u);
    EXPECT_EQ(crypt.EncryptData(nullptr, 4, out, length), 87u);
    EXPECT_EQ(crypt.DecryptData(&one, 0, out, length), 87u);
    EXPECT_NE(crypt.DecryptData(garbage.data(), 48, out, length), 0u);
    EXPECT_FALSE(out);
    EXPECT_EQ(TestLog().Texts(), (Lines{L"Encrypt data failed, size and input are invalid.",
                                        L"Encrypt data failed, size and input are invalid.",
                                        L"Decrypt data failed, size and input are invalid.",
                                        L"Decrypt data failed, CryptDecrypt call failed."}));
    crypt.Close();
    EXPECT_EQ(crypt.EncryptData(garbage.data(), 48, out, length), 5023u);
}

TEST_F(EncryptedFileTest, EncryptedFileReadsWhatItWroteAndFailuresChangeNothing)
{
    // The file's bytes are checked on their own wherever DataStoreTest compares StoreText().
    CPcEncryptedFile file(Blob());
    // An odd number of plaintext bytes: the last byte is not a character.
    std::wstring back;
    ASSERT_EQ(file.WriteFileData(path, Buffer({'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e'}), 9), 0u);
    ASSERT_EQ(file.ReadFileData(path, back), 0u);
    EXPECT_EQ(back, L"abcd");
    ::DeleteFileW(path.c_str());
    TestLog().Clear();

    const std::wstring readError = L"Read file data error.";
    std::wstring out = L"unchanged";
    EXPECT_EQ(file.ReadFileData(path, out), 6001u);
    EXPECT_EQ(TestLog().Texts(),
              (Lines{L"Error: File not found.", L"Error: Decryption failed to read from file.", readError}));
    const std::vector<BYTE> foreign = kit::Encipher(L"{ \"Entitlement\":{\"k\":\"v\"} }", kit::OtherKey());
    testmachine::WriteBytes(path, foreign.data(), foreign.size());
    TestLog().Clear();
    EXPECT_EQ(file.ReadFileData(path, out), 6001u);
    EXPECT_EQ(TestLog().Texts(),
              (Lines{L"Decrypt data failed, CryptDecrypt call failed.", L"Error: Decryption failed.", readError}));
    EXPECT_EQ(out, L"unchanged");

    // A refused write leaves no file, or the one that was there, as it was.
    const std::tuple<std::wstring, DWORD, Lines> cases[] = {
        {L"", 87, {L"Invalid parameters."}},
        // Two bytes of plaintext, a four-byte buffer: one padded block does not fit.
        {L"x", 6000,
         {L"Encrypt data failed, CryptEncrypt call failed.", L"Encryption failed.", L"Write File Data Error."}},
    };
    for (const auto& [text, rc, lines] : cases) {
        for (bool existing : {false, true}) {
            ::DeleteFileW(path.c_str());
            if (existing) testmachine::WriteBytes(path, foreign.data(), foreign.size());
            TestLog().Clear();
            EXPECT_EQ(file.WriteFileData(path, text), rc);
            EXPECT_EQ(TestLog().Texts(), lines);
            EXPECT_TRUE(existing ? testmachine::ReadBytes(path) == foreign : !testmachine::FileExists(path));
        }
    }
    EXPECT_EQ(file.WriteFileData(path, SharedBuffer(), 4), 87u);
    EXPECT_EQ(file.WriteFileData(path, Buffer({1, 2}), 0), 87u);
}

}  // namespace
