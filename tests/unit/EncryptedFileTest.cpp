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
std::vector<BYTE> Bytes(const SharedBuffer& buffer, DWORD length) { return {buffer.get(), buffer.get() + length}; }

// Runs each call with a clear log and expects its result and exactly its logged lines.
void ExpectFailures(const std::vector<std::tuple<std::function<DWORD()>, DWORD, Lines>>& failures)
{
    for (size_t i = 0; i < failures.size(); ++i) {
        const auto& [call, rc, lines] = failures[i];
        TestLog().Clear();
        EXPECT_EQ(call(), rc) << "failure " << i;
        EXPECT_EQ(TestLog().Texts(), lines) << "failure " << i;
    }
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
    SharedBuffer read;
    DWORD length = 0;
    std::wstring text;
    ASSERT_EQ(file.WriteToFile(path, Buffer({9, 8, 7}), 3), 0u);
    // Text is code units: an odd last byte is dropped. No handle is held between calls (it would block the delete).
    ASSERT_EQ(file.ReadFromFile(path, text), 0u);
    EXPECT_EQ(text, std::wstring(1, static_cast<wchar_t>(0x0809)));
    EXPECT_TRUE(::DeleteFileW(path.c_str()));

    const std::wstring empty = folder + L"\\empty.bin", noFolder = folder + L"\\no\\x";
    testmachine::WriteBytes(empty, "", 0);
    const std::wstring invalid = L"Invalid parameters.", notFound = L"Error: File not found.";
    ExpectFailures({
        {[&] { return file.ReadFromFile(L"", read, length); }, 87, {invalid}},
        {[&] { return file.ReadFromFile(path, text); }, 2, {notFound, L"Read file data error."}},
        {[&] { return file.ReadFromFile(empty, text); }, 30, {L"Variables not initialized."}},
        {[&] { return file.WriteToFile(L"", Buffer({1}), 1); }, 87, {}},
        {[&] { return file.WriteToFile(path, SharedBuffer(), 1); }, 87, {}},
        {[&] { return file.WriteToFile(path, Buffer({1}), 0); }, 87, {}},
        {[&] { return file.WriteToFile(path, std::wstring()); }, 87, {invalid}},
        {[&] { return file.WriteToFile(noFolder, L"t"); }, 2, {notFound, L"Write File Data Error."}},
    });
    EXPECT_FALSE(testmachine::FileExists(path));
    EXPECT_EQ(text, std::wstring(1, static_cast<wchar_t>(0x0809))) << "outputs untouched on failure";
}

TEST_F(EncryptedFileTest, KeyImportAndItsFailures)
{
    CPcCrypt crypt, failed;
    EXPECT_EQ(crypt.Init(Blob()), 0u);
    EXPECT_TRUE(crypt.HasKey());
    EXPECT_TRUE(TestLog().Lines().empty());
    SharedBuffer out;
    DWORD length = 77;
    const BYTE data[32] = {};
    ExpectFailures({
        {[&] { return failed.Init(SharedBuffer()); }, 5023,
         {L"Failed to import keyblob. Not initialized.", L"Error importing key blob."}},
        // Without a key nothing is enciphered or deciphered.
        {[&] { return failed.EncryptData(data, 32, out, length); }, 5023, {L"Encrypt data failed, key not initialized."}},
        {[&] { return failed.DecryptData(data, 32, out, length); }, 5023, {L"Decrypt data failed, key not initialized."}},
    });
    EXPECT_FALSE(out);
    EXPECT_EQ(length, 77u) << "outputs untouched";
    EXPECT_EQ(failed.Init(Buffer(std::vector<BYTE>(140, 0x41))), 1359u) << "not a key blob";
    EXPECT_FALSE(failed.HasKey());
}

TEST_F(EncryptedFileTest, WholeBufferEncryptionFitsInTwiceTheInput)
{
    CPcCrypt crypt;
    ASSERT_EQ(crypt.Init(Blob()), 0u);
    // AES-CBC with PKCS#7: the ciphertext is the input rounded up to the next
    // whole block. Inputs shorter than 8 bytes do not fit twice their size (234).
    // The in-place forms give the same bytes, in one buffer kept through growing and shrinking sizes.
    const std::pair<DWORD, DWORD> sizes[] = {{7, 0}, {8, 16}, {15, 16}, {16, 32}, {1000, 1008}, {15, 16}};
    std::vector<BYTE> kept;
    for (const auto& [size, cipherSize] : sizes) {
        std::vector<BYTE> plain(size);
        for (DWORD i = 0; i < size; ++i) plain[i] = static_cast<BYTE>(i * 13);
        SharedBuffer cipher, back;
        DWORD cipherLength = 0, backLength = 0;
        TestLog().Clear();
        EXPECT_EQ(crypt.EncryptData(plain.data(), size, cipher, cipherLength), cipherSize ? 0u : 234u) << size;
        EXPECT_EQ(cipherLength, cipherSize);
        EXPECT_EQ(TestLog().Has(L"Encrypt data failed, CryptEncrypt call failed."), cipherSize == 0);
        kept.assign(plain.begin(), plain.end());
        DWORD keptLength = 0;
        EXPECT_EQ(crypt.EncryptInPlace(kept, size, keptLength), cipherSize ? 0u : 234u) << size;
        if (!cipher) continue;
        ASSERT_EQ(crypt.DecryptData(cipher.get(), cipherLength, back, backLength), 0u);
        EXPECT_EQ(Bytes(back, backLength), plain);
        ASSERT_EQ(keptLength, cipherLength);
        kept.resize(keptLength);
        EXPECT_EQ(kept, Bytes(cipher, cipherLength)) << size;
        ASSERT_EQ(crypt.DecryptInPlace(kept), 0u);
        EXPECT_EQ(kept, plain) << size;
    }

    SharedBuffer out;
    DWORD length = 0;
    const BYTE one = 1;
    const std::vector<BYTE> garbage(48, 0x5A);  // not a ciphertext of this key
    const std::wstring encryptInvalid = L"Encrypt data failed, size and input are invalid.";
    ExpectFailures({
        {[&] { return crypt.EncryptData(&one, 0, out, length); }, 87, {encryptInvalid}},
        {[&] { return crypt.EncryptData(nullptr, 4, out, length); }, 87, {encryptInvalid}},
        {[&] { return crypt.DecryptData(&one, 0, out, length); }, 87, {L"Decrypt data failed, size and input are invalid."}},
        {[&] { return crypt.DecryptData(garbage.data(), 48, out, length) ? 1u : 0u; }, 1,
         {L"Decrypt data failed, CryptDecrypt call failed."}},
    });
    EXPECT_FALSE(out);
    crypt.Close();
    EXPECT_EQ(crypt.EncryptData(garbage.data(), 48, out, length), 5023u);
}

TEST_F(EncryptedFileTest, KeptBuffersFollowEachFileSize)
{
    CPcEncryptedFile file(Blob());
    std::vector<BYTE> plain;
    for (const std::wstring& text : {std::wstring(40000, L'x'), std::wstring(L"{ \"oobe\":{} }"), std::wstring(900, L'y')}) {
        ASSERT_EQ(file.WriteFileData(path, text.data(), text.size()), 0u);
        EXPECT_EQ(testmachine::ReadBytes(path), kit::Encipher(text, kit::TestKey())) << text.size();
        ASSERT_EQ(file.ReadFileData(path, plain), 0u);
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(plain.data()), plain.size() / 2), text);
    }
}

TEST_F(EncryptedFileTest, EncryptedFileFailuresChangeNothing)
{
    CPcEncryptedFile file(Blob());
    std::wstring out = L"unchanged";
    const std::wstring readError = L"Read file data error.";
    const std::vector<BYTE> foreign = kit::Encipher(L"{ \"Entitlement\":{\"k\":\"v\"} }", kit::OtherKey());
    ExpectFailures({
        {[&] { return file.ReadFileData(path, out); }, 6001,
         {L"Error: File not found.", L"Error: Decryption failed to read from file.", readError}},
        {[&] { return kit::Write(foreign, path), file.ReadFileData(path, out); }, 6001,
         {L"Decrypt data failed, CryptDecrypt call failed.", L"Error: Decryption failed.", readError}},
    });
    EXPECT_EQ(out, L"unchanged") << "output untouched";

    // A refused write leaves no file, or the one that was there, as it was.
    const std::tuple<std::wstring, DWORD, Lines> cases[] = {
        {L"", 87, {L"Invalid parameters."}},
        // Two bytes of plaintext, a four-byte buffer: one padded block does not fit.
        {L"x", 6000, {L"Encrypt data failed, CryptEncrypt call failed.", L"Encryption failed.", L"Write File Data Error."}},
    };
    for (const auto& [text, rc, lines] : cases) {
        for (bool existing : {false, true}) {
            ::DeleteFileW(path.c_str());
            if (existing) kit::Write(foreign, path);
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
