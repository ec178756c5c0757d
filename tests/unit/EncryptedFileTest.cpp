// The file and cipher layers under the data store, in the forms the store
// uses: the key import, a file that holds exactly the ciphertext of its text
// (a shorter one replacing a longer one), and failures that change nothing.
#include "common/Platform.h"

#include "datastore/PCCrypt.h"
#include "datastore/PcEncryptedFile.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>

namespace {

namespace kit = datastorekit;
using Lines = std::vector<std::wstring>;

SharedBuffer Blob(const std::vector<BYTE>& bytes = kit::KeyBlob(kit::TestKey()))
{
    SharedBuffer buffer = MakeSharedBuffer(bytes.size());
    memcpy(buffer.get(), bytes.data(), bytes.size());
    return buffer;
}

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

TEST_F(EncryptedFileTest, KeyImportAndItsFailures)
{
    CPcCrypt crypt, failed;
    EXPECT_EQ(crypt.Init(Blob()), 0u);
    EXPECT_TRUE(crypt.HasKey() && TestLog().Lines().empty());
    std::vector<BYTE> data(32, 7);
    DWORD length = 77;
    EXPECT_EQ(failed.Init(Blob(std::vector<BYTE>(140, 0x41))), 1359u) << "not a key blob";
    EXPECT_FALSE(failed.HasKey());
    // Without a key nothing is enciphered or deciphered.
    ExpectFailures({
        {[&] { return failed.EncryptInPlace(data, 16, length); }, 5023, {L"Encrypt data failed, key not initialized."}},
        {[&] { return failed.DecryptInPlace(data); }, 5023, {L"Decrypt data failed, key not initialized."}},
    });
    EXPECT_EQ(std::make_pair(data, length), std::make_pair(std::vector<BYTE>(32, 7), DWORD{77})) << "outputs untouched";
}

// AES-CBC with PKCS#7 (a whole number of blocks, as 40000 characters are, gets one block of padding more),
// every size written by one object with the buffer it keeps between calls.
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
        {[&] { return kit::Write({}, path), file.ReadFileData(path, out); }, 6001,
         {L"Decrypt data failed, size and input are invalid.", L"Error: Decryption failed.", readError}},
        {[&] { return file.WriteFileData(folder + L"\\no\\file.bin", L"text"); }, 6000,
         {L"Error: File not found.", L"File write error", L"Write File Data Error."}},
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
}

}  // namespace
