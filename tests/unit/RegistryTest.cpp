#include "common/Platform.h"

#include "base/RegKey.h"
#include "common/UniqueHandle.h"
#include "config/PCReg.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::wstring kKey = L"SOFTWARE\\Tarsen\\RegistryTest";

class RegistryTest : public testing::Test {
protected:
    void SetUp() override
    {
        testmachine::DeleteTree(kKey);
        testmachine::SetString(kKey, L"text", L"hello");
        testmachine::SetString(kKey, L"empty", L"");
        testmachine::SetDword(kKey, L"number", 42);
        const ULONGLONG big = 0x1122334455667788ull;
        testmachine::SetRaw(kKey, L"big", REG_QWORD, &big, sizeof(big));
        const BYTE blob[] = {1, 2, 3, 4, 5};
        testmachine::SetBinary(kKey, L"blob", blob, sizeof(blob));
        testmachine::SetRaw(kKey, L"expand", REG_EXPAND_SZ, L"%TEMP%\\x", sizeof(L"%TEMP%\\x"));
        testmachine::SetRaw(kKey, L"zero", REG_SZ, L"", 0);
        TestLog().Clear();
    }
    void TearDown() override { testmachine::DeleteTree(kKey); }
    CPCReg reg;
};

TEST_F(RegistryTest, TypedReadsAcceptOnlyTheirTypeAndTouchNothingOnFailure)
{
    const DWORD no = ERROR_CANTREAD, shut = ERROR_CANTOPEN;
    const struct {
        const wchar_t* name;
        DWORD stringResult, dwordResult;
        const wchar_t* stringValue;
    } cases[] = {
        {L"text", 0, no, L"hello"},   {L"empty", 0, no, L""},        {L"zero", 0, no, L""},
        {L"expand", 0, no, L"%TEMP%\\x"}, {L"number", no, 0, L"sentinel"}, {L"big", no, no, L"sentinel"},
        {L"blob", no, no, L"sentinel"}, {L"missing", no, no, L"sentinel"},
        {L"text", shut, shut, L"sentinel"},  // under a missing key
    };
    for (const auto& c : cases) {
        const std::wstring key = c.stringResult == shut ? kKey + L"\\Nope" : kKey, value = c.name;
        std::wstring text = L"sentinel";
        DWORD number = 7;
        SCOPED_TRACE(testing::PrintToString(key + L"\\" + value));
        EXPECT_EQ(std::make_pair(reg.Read(key, value, text), reg.Read(key, value, number)),
                  std::make_pair(c.stringResult, c.dwordResult));
        EXPECT_EQ(text, c.stringValue);
        EXPECT_EQ(number, c.dwordResult == 0 ? 42u : 7u);
    }
    EXPECT_EQ(TestLog().Find(L"Cant get registry value missing at key location " + kKey).level, 2u);
    EXPECT_EQ(TestLog().Find(L"Cant open registry key: " + kKey + L"\\Nope").level, 2u);
    // The binary read (the data store's key) has its own path. (A string is refused: the data store test.)
    SharedBuffer untouched;
    EXPECT_EQ(reg.Read(kKey + L"\\Nope", L"blob", untouched), static_cast<DWORD>(ERROR_CANTOPEN));
    EXPECT_FALSE(untouched);
}

// The shipped 32-bit program runs under WOW64 and opens every key in the native view, where the framework's
// 64-bit programs keep their settings. This machine runs only the 64-bit build: the WOW64 case by its seam.
TEST_F(RegistryTest, UnderWow64EveryKeyIsOpenedInTheNativeView)
{
    CPCReg wow64(true);
    EXPECT_EQ(TestLog().Find(L"I am 32 bit process " + std::to_wstring(::GetCurrentProcessId())).level, 1u);
    EXPECT_EQ(wow64.ViewFlags(), static_cast<REGSAM>(KEY_WOW64_64KEY));
    EXPECT_EQ(CPCReg(false).ViewFlags(), 0u);
    std::wstring text;
    EXPECT_EQ(std::make_pair(wow64.Write(kKey, L"wow64", DWORD{1}), wow64.Read(kKey, L"text", text)),
              std::make_pair(0ul, 0ul));
    EXPECT_EQ(text, L"hello");
}

TEST_F(RegistryTest, EnumerationAndDeletion)
{
    const std::wstring key = kKey + L"\\Enum";
    testmachine::SetString(key, L"first", L"1");
    testmachine::SetString(key, L"huge", std::wstring(3000, L'h'));  // 6002 bytes: more than the 4096-byte buffer
    testmachine::SetString(key, L"last", L"2");
    testmachine::SetDword(key, L"dword", 0x00410041);
    StringMap values{{L"first", L"stale"}};
    EXPECT_EQ(reg.EnumRegKeyValues(key, values), 0u);
    // The walk goes on past the oversized value; a name already present is overwritten; data is taken as
    // text up to its first terminator.
    EXPECT_EQ(values, (StringMap{{L"first", L"1"}, {L"last", L"2"}, {L"dword", L"AA"}}));

    // (Listing sub-keys serves only the scheduler stand-in, whose scenario shows it.)
    testmachine::SetString(key + L"\\Sub1", L"x", L"y");
    testmachine::SetString(key + L"\\Sub2\\Deeper", L"x", L"y");
    EXPECT_EQ(reg.DeleteSubKey(key, L"Sub1"), 0u);
    EXPECT_EQ(reg.DeleteSubKey(key, L"Sub2"), static_cast<DWORD>(ERROR_CANTREAD)) << "it has a sub-key of its own";
    EXPECT_FALSE(testmachine::KeyExists(key + L"\\Sub1"));
}

// Wine adds a terminator to an unterminated REG_SZ, so the rule is shown with a raw read of exactly these bytes.
class RawStringKey : public Stratum::internal::CRegKeyImpl {
public:
    explicit RawStringKey(std::vector<BYTE> data) : m_data(std::move(data)) {}
    LONG QueryValue(const wchar_t*, DWORD* type, void* data, ULONG* bytes) override
    {
        if (type) *type = REG_SZ;
        const ULONG capacity = *bytes;
        *bytes = static_cast<ULONG>(m_data.size());
        if (!data) return ERROR_SUCCESS;
        if (capacity < m_data.size()) return ERROR_MORE_DATA;
        memcpy(data, m_data.data(), m_data.size());
        return ERROR_SUCCESS;
    }

private:
    std::vector<BYTE> m_data;
};

TEST_F(RegistryTest, StringReadsRefuseOddSizesAndMissingTerminators)
{
    const std::tuple<std::vector<BYTE>, LONG, const wchar_t*> cases[] = {
        {{'a', 0, 'b', 0, 0, 0}, ERROR_SUCCESS, L"ab"},
        {{'a', 0, 'b', 0}, ERROR_INVALID_DATA, L"keep"},
        {{'a', 0, 0, 0, 0}, ERROR_INVALID_DATA, L"keep"}};  // terminated, but an odd size
    for (const auto& [data, result, expected] : cases) {
        Stratum::CRegKey key(std::make_shared<RawStringKey>(data));
        key.Attach(HKEY_LOCAL_MACHINE);  // any open key: the raw read above never touches it
        std::wstring value = L"keep";
        EXPECT_EQ(key.QueryStringValue(L"v", value), result) << data.size() << " bytes";
        EXPECT_EQ(value, expected);
        key.Detach();
    }
    // A GUID is read only from a braced text.
    Stratum::CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey.c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    testmachine::SetString(kKey, L"bare", L"E16CA450-55CC-11E0-B8AF-0800200C9A66");
    GUID read;
    EXPECT_EQ(key.QueryGUIDValue(L"bare", read), ERROR_INVALID_DATA);
}

}  // namespace
