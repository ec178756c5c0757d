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

namespace {

using datastorekit::TestKey;

SharedBuffer Buffer(const std::vector<BYTE>& bytes)
{
    SharedBuffer buffer = MakeSharedBuffer(bytes.size());
    if (!bytes.empty()) memcpy(buffer.get(), bytes.data(), bytes.size());
    return buffer;
}

SharedBuffer Blob(const datastorekit::AesKey& key = TestKey()) { return Buffer(datastorekit::KeyBlob(key)); }

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
    EXPECT_EQ(testmachine::ReadBytes(path), (std::vector<BYTE>{9, 8, 7})) << "replaced, not overwritten in part";

    SharedBuffer read;
    DWORD length = 0;
    ASSERT_EQ(file.ReadFromFile(path, read, length), 0u);
    EXPECT_EQ(Bytes(read, length), (std::vector<BYTE>{9, 8, 7}));

    // Text: code units; an odd last byte is dropped.
    std::wstring text;
    ASSERT_EQ(file.ReadFromFile(path, text), 0u);
    EXPECT_EQ(text, std::wstring(1, static_cast<wchar_t>(0x0809)));
    ASSERT_EQ(file.WriteToFile(path, std::wstring(L"h\x00e9")), 0u);
    EXPECT_EQ(testmachine::ReadBytes(path), (std::vector<BYTE>{'h', 0, 0xe9, 0}));

    // No handle is held between calls.
    EXPECT_EQ(file.Close(), static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(INVALID_HANDLE_VALUE)));
    EXPECT_TRUE(::DeleteFileW(path.c_str()));
}

TEST_F(EncryptedFileTest, PcFileFailures)
{
    testmachine::WriteBytes(folder + L"\\empty.bin", "", 0);
    const struct {
        const char* what;
        std::function<DWORD(CPcFile&)> call;
        DWORD rc;
        std::vector<std::wstring> lines;
    } cases[] = {
        {"read missing", [&](CPcFile& f) { SharedBuffer b; DWORD n = 0; return f.ReadFromFile(path, b, n); }, 2,
         {L"Error: File not found."}},
        {"read empty path", [](CPcFile& f) { SharedBuffer b; DWORD n = 0; return f.ReadFromFile(L"", b, n); }, 87,
         {L"Invalid parameters."}},
        {"read text missing", [&](CPcFile& f) { std::wstring t; return f.ReadFromFile(path, t); }, 2,
         {L"Error: File not found.", L"Read file data error."}},
        {"read text of empty file", [&](CPcFile& f) { std::wstring t; return f.ReadFromFile(folder + L"\\empty.bin", t); },
         30, {L"Variables not initialized."}},
        {"write empty path", [](CPcFile& f) { return f.WriteToFile(L"", Buffer({1}), 1); }, 87, {}},
        {"write null buffer", [&](CPcFile& f) { return f.WriteToFile(path, SharedBuffer(), 1); }, 87, {}},
        {"write zero length", [&](CPcFile& f) { return f.WriteToFile(path, Buffer({1}), 0); }, 87, {}},
        {"write into a missing folder", [&](CPcFile& f) { return f.WriteToFile(folder + L"\\no\\x", Buffer({1}), 1); },
         2, {L"Error: File not found."}},
        {"write empty text", [&](CPcFile& f) { return f.WriteToFile(path, std::wstring()); }, 87,
         {L"Invalid parameters."}},
        {"write text into a missing folder", [&](CPcFile& f) { return f.WriteToFile(folder + L"\\no\\x", L"t"); }, 2,
         {L"Error: File not found.", L"Write File Data Error."}},
    };
    for (const auto& c : cases) {
        TestLog().Clear();
        CPcFile file;
        EXPECT_EQ(c.call(file), c.rc) << c.what;
        EXPECT_EQ(TestLog().Texts(), c.lines) << c.what;
        EXPECT_FALSE(testmachine::FileExists(path)) << c.what;
    }
}

TEST_F(EncryptedFileTest, InitCreatesTheMachineKeyContainerWhenMissing)
{
    HCRYPTPROV gone = 0;
    ::CryptAcquireContextW(&gone, CPcCrypt::kKeyContainer, nullptr, PROV_RSA_AES,
                           CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET);
    HCRYPTPROV probe = 0;
    ASSERT_FALSE(::CryptAcquireContextW(&probe, CPcCrypt::kKeyContainer, nullptr, PROV_RSA_AES, CRYPT_MACHINE_KEYSET));

    CPcCrypt crypt;
    EXPECT_EQ(crypt.Init(Blob()), 0u);
    EXPECT_TRUE(crypt.HasKey());
    ASSERT_TRUE(::CryptAcquireContextW(&probe, CPcCrypt::kKeyContainer, nullptr, PROV_RSA_AES, CRYPT_MACHINE_KEYSET));
    ::CryptReleaseContext(probe, 0);
    EXPECT_TRUE(TestLog().Lines().empty());

    // A second Init keeps the provider and imports again.
    EXPECT_EQ(crypt.Init(Blob(datastorekit::OtherKey())), 0u);
}

TEST_F(EncryptedFileTest, KeyImportFailures)
{
    std::vector<BYTE> notABlob(140, 0x41);
    std::vector<BYTE> wrongAlgorithm = datastorekit::KeyBlob(TestKey());
    reinterpret_cast<BLOBHEADER*>(wrongAlgorithm.data())->aiKeyAlg = 0x1234;
    const struct {
        const char* what;
        SharedBuffer blob;
        DWORD rc;
        std::wstring firstLine;
    } cases[] = {
        {"no blob", SharedBuffer(), 5023, L"Failed to import keyblob. Not initialized."},
        {"not a key blob", Buffer(notABlob), 1359, L"Failed to import keyblob. Bad key. "},
        {"unknown algorithm", Buffer(wrongAlgorithm), 1359, L"Failed to import keyblob. Bad key. "},
    };
    for (const auto& c : cases) {
        TestLog().Clear();
        CPcCrypt crypt;
        EXPECT_EQ(crypt.Init(c.blob), c.rc) << c.what;
        EXPECT_FALSE(crypt.HasKey());
        const auto lines = TestLog().Lines();
        ASSERT_EQ(lines.size(), 2u) << c.what;
        EXPECT_EQ(lines[0].text.substr(0, c.firstLine.size()), c.firstLine) << c.what;
        EXPECT_EQ(lines[0].function, L"CPcCrypt::importKeyBlob");
        EXPECT_EQ(lines[1].text, L"Error importing key blob.");
        EXPECT_EQ(lines[1].function, L"CPcCrypt::Init");

        // Without a key nothing is enciphered or deciphered.
        SharedBuffer out;
        DWORD length = 77;
        const BYTE data[32] = {};
        TestLog().Clear();
        EXPECT_EQ(crypt.EncryptData(data, 32, out, length), 5023u);
        EXPECT_EQ(crypt.DecryptData(data, 32, out, length), 5023u);
        EXPECT_EQ(TestLog().Texts(), (std::vector<std::wstring>{L"Encrypt data failed, key not initialized.",
                                                                 L"Decrypt data failed, key not initialized."}));
        EXPECT_FALSE(out);
        EXPECT_EQ(length, 77u);
    }
}

TEST_F(EncryptedFileTest, WholeBufferEncryptionFitsInTwiceTheInput)
{
    CPcCrypt crypt;
    ASSERT_EQ(crypt.Init(Blob()), 0u);
    // AES-CBC with PKCS#7: the ciphertext is the input rounded up to the next
    // whole block. Inputs shorter than 8 bytes do not fit twice their size.
    const struct {
        DWORD size;
        DWORD rc;
        DWORD cipherSize;
    } cases[] = {{1, 234, 0}, {2, 234, 0}, {7, 234, 0}, {8, 0, 16}, {15, 0, 16}, {16, 0, 32}, {17, 0, 32}, {1000, 0, 1008}};
    for (const auto& c : cases) {
        std::vector<BYTE> plain(c.size);
        for (DWORD i = 0; i < c.size; ++i) plain[i] = static_cast<BYTE>(i * 13);
        TestLog().Clear();
        SharedBuffer cipher;
        DWORD cipherLength = 0;
        EXPECT_EQ(crypt.EncryptData(plain.data(), c.size, cipher, cipherLength), c.rc) << c.size;
        if (c.rc != 0) {
            EXPECT_FALSE(cipher);
            EXPECT_TRUE(TestLog().Has(L"Encrypt data failed, CryptEncrypt call failed."));
            continue;
        }
        EXPECT_EQ(cipherLength, c.cipherSize);
        // The same bytes an independently imported key gives.
        std::wstring independent;
        ASSERT_TRUE(datastorekit::Decipher(Bytes(cipher, cipherLength), TestKey(), independent));
        EXPECT_EQ(0, memcmp(independent.data(), plain.data(), c.size & ~1u));

        SharedBuffer back;
        DWORD backLength = 0;
        ASSERT_EQ(crypt.DecryptData(cipher.get(), cipherLength, back, backLength), 0u);
        EXPECT_EQ(Bytes(back, backLength), plain);
    }

    TestLog().Clear();
    SharedBuffer out;
    DWORD length = 0;
    const BYTE one = 1;
    EXPECT_EQ(crypt.EncryptData(&one, 0, out, length), 87u);
    EXPECT_EQ(crypt.EncryptData(nullptr, 4, out, length), 87u);
    EXPECT_EQ(crypt.DecryptData(&one, 0, out, length), 87u);
    EXPECT_EQ(TestLog().Texts(), (std::vector<std::wstring>{L"Encrypt data failed, size and input are invalid.",
                                                             L"Encrypt data failed, size and input are invalid.",
                                                             L"Decrypt data failed, size and input are invalid."}));

    // Bytes that are not a ciphertext of this key.
    std::vector<BYTE> garbage(48, 0x5A);
    TestLog().Clear();
    EXPECT_NE(crypt.DecryptData(garbage.data(), 48, out, length), 0u);
    EXPECT_FALSE(out);
    EXPECT_TRUE(TestLog().Has(L"Decrypt data failed, CryptDecrypt call failed."));

    crypt.Close();
    EXPECT_EQ(crypt.EncryptData(garbage.data(), 48, out, length), 5023u);
}

TEST_F(EncryptedFileTest, TextFormsRoundTrip)
{
    CPcCrypt crypt;
    ASSERT_EQ(crypt.Init(Blob()), 0u);
    const std::wstring plain = L"{ \"oobe\":{} } \x00e9\xd83d\xde00";
    std::wstring cipher, back;
    ASSERT_EQ(crypt.EncryptData(plain, cipher), 0u);
    EXPECT_EQ(cipher.size() * 2, (plain.size() * 2 / 16 + 1) * 16);
    ASSERT_EQ(crypt.DecryptData(cipher, back), 0u);
    EXPECT_EQ(back, plain);
    EXPECT_TRUE(TestLog().Has(L"Encrypt initializtion begining."));
    EXPECT_EQ(TestLog().Find(L"Decrypt initializtion begining.").level, 1u);

    back = L"unchanged";
    EXPECT_EQ(crypt.EncryptData(L"ab", back), 1359u) << "too short for one block in twice its size";
    EXPECT_EQ(crypt.DecryptData(L"not a ciphertext", back), 1359u);
    EXPECT_EQ(crypt.EncryptData(std::wstring(), back), 1359u);
    EXPECT_EQ(back, L"unchanged");
}

TEST_F(EncryptedFileTest, FileHoldsExactlyTheCiphertextOfTheUtf16Text)
{
    const std::wstring text = L"{ \"oobe\":{\"oobestate\":\"1\"} } \x00e9";
    CPcEncryptedFile file(Blob());
    ASSERT_EQ(file.WriteFileData(path, text), 0u);
    // No header, no length, no byte-order mark, no terminating zero.
    EXPECT_EQ(testmachine::ReadBytes(path), datastorekit::Encipher(text));
    std::wstring back;
    ASSERT_EQ(file.ReadFileData(path, back), 0u);
    EXPECT_EQ(back, text);

    // An odd number of plaintext bytes: the last byte is not a character.
    ASSERT_EQ(file.WriteFileData(path, Buffer({'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e'}), 9), 0u);
    ASSERT_EQ(file.ReadFileData(path, back), 0u);
    EXPECT_EQ(back, L"abcd");
}

TEST_F(EncryptedFileTest, ReadFailuresNeverYieldData)
{
    const std::wstring text = L"{ \"Entitlement\":{\"k\":\"v\"} }";
    std::vector<BYTE> truncated = datastorekit::Encipher(text);
    truncated.resize(truncated.size() - 5);
    const struct {
        const char* what;
        std::vector<BYTE> content;  // empty: no file
        SharedBuffer blob;
        std::vector<std::wstring> lines;
    } cases[] = {
        {"missing file", {}, Blob(),
         {L"Error: File not found.", L"Error: Decryption failed to read from file.", L"Read file data error."}},
        {"other key", datastorekit::Encipher(text, datastorekit::OtherKey()), Blob(),
         {L"Decrypt data failed, CryptDecrypt call failed.", L"Error: Decryption failed.", L"Read file data error."}},
        {"truncated", truncated, Blob(),
         {L"Decrypt data failed, CryptDecrypt call failed.", L"Error: Decryption failed.", L"Read file data error."}},
        {"no usable key", datastorekit::Encipher(text), Buffer(std::vector<BYTE>(140, 1)),
         {L"Decrypt data failed, key not initialized.", L"Error: Decryption failed.", L"Read file data error."}},
    };
    for (const auto& c : cases) {
        ::DeleteFileW(path.c_str());
        if (!c.content.empty()) testmachine::WriteBytes(path, c.content.data(), c.content.size());
        CPcEncryptedFile file(c.blob);
        TestLog().Clear();
        std::wstring out = L"unchanged";
        EXPECT_EQ(file.ReadFileData(path, out), 6001u) << c.what;
        EXPECT_EQ(out, L"unchanged") << c.what;
        EXPECT_EQ(TestLog().Texts(), c.lines) << c.what;
    }
}

TEST_F(EncryptedFileTest, RefusedWritesWriteNothing)
{
    const std::vector<BYTE> before = {1, 2, 3};
    const struct {
        const char* what;
        std::wstring text;
        SharedBuffer blob;
        DWORD rc;
        std::vector<std::wstring> lines;
    } cases[] = {
        {"empty text", L"", Blob(), 87, {L"Invalid parameters."}},
        // Two bytes of plaintext, a four-byte buffer: one padded block does not fit.
        {"one character", L"x", Blob(), 6000,
         {L"Encrypt data failed, CryptEncrypt call failed.", L"Encryption failed.", L"Write File Data Error."}},
        {"no usable key", L"{ \"oobe\":{} }", Buffer(std::vector<BYTE>(140, 1)), 6000,
         {L"Encrypt data failed, key not initialized.", L"Encryption failed.", L"Write File Data Error."}},
    };
    for (const auto& c : cases) {
        for (bool existing : {false, true}) {
            ::DeleteFileW(path.c_str());
            if (existing) testmachine::WriteBytes(path, before.data(), before.size());
            CPcEncryptedFile file(c.blob);
            TestLog().Clear();
            EXPECT_EQ(file.WriteFileData(path, c.text), c.rc) << c.what;
            EXPECT_EQ(TestLog().Texts(), c.lines) << c.what;
            if (existing) {
                EXPECT_EQ(testmachine::ReadBytes(path), before) << c.what;
            } else {
                EXPECT_FALSE(testmachine::FileExists(path)) << c.what;
            }
        }
    }
    CPcEncryptedFile file(Blob());
    EXPECT_EQ(file.WriteFileData(path, SharedBuffer(), 4), 87u);
    EXPECT_EQ(file.WriteFileData(path, Buffer({1, 2}), 0), 87u);
}

}  // namespace
