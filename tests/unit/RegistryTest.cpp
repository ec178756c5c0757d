#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "config/PCReg.h"
#include "config/RegKey.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstring>
#include <memory>
#include <regex>
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
    // (Not returned by value: a CRegKey closes its shared key when destroyed.)
    static void Open(Stratum::CRegKey& key, const std::wstring& path)
    {
        EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    }
    CPCReg reg;
};

TEST_F(RegistryTest, TypedReadsAcceptOnlyTheirTypeAndTouchNothingOnFailure)
{
    const DWORD no = ERROR_CANTREAD, shut = ERROR_CANTOPEN;
    const struct {
        const wchar_t* name;
        DWORD stringResult, dwordResult, qwordResult;
        const wchar_t* stringValue;
    } cases[] = {
        {L"text", 0, no, no, L"hello"},   {L"empty", 0, no, no, L""},        {L"zero", 0, no, no, L""},
        {L"expand", 0, no, no, L"%TEMP%\\x"}, {L"number", no, 0, no, L"sentinel"}, {L"big", no, no, 0, L"sentinel"},
        {L"blob", no, no, no, L"sentinel"}, {L"missing", no, no, no, L"sentinel"},
        {L"text", shut, shut, shut, L"sentinel"},  // under a missing key
    };
    for (const auto& c : cases) {
        const std::wstring key = c.stringResult == shut ? kKey + L"\\Nope" : kKey, value = c.name;
        std::wstring text = L"sentinel";
        DWORD number = 7;
        ULONGLONG wide = 7;
        SCOPED_TRACE(testing::PrintToString(key + L"\\" + value));
        EXPECT_EQ(std::make_tuple(reg.Read(key, value, text), reg.Read(key, value, number), reg.Read(key, value, wide)),
                  std::make_tuple(c.stringResult, c.dwordResult, c.qwordResult));
        EXPECT_EQ(text, c.stringValue);
        EXPECT_EQ(number, c.dwordResult == 0 ? 42u : 7u);
        EXPECT_EQ(wide, c.qwordResult == 0 ? 0x1122334455667788ull : 7u);
    }
    EXPECT_EQ(TestLog().Find(L"Cant get registry value missing at key location " + kKey).level, 2u);
    EXPECT_TRUE(TestLog().Has(L"Cant open registry key: " + kKey + L"\\Nope"));

    // A binary read replaces the buffer with the value, or leaves it alone.
    SharedBuffer buffer;
    ASSERT_EQ(reg.Read(kKey, L"blob", buffer), 0u);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(std::vector<int>(buffer.get(), buffer.get() + 5), (std::vector<int>{1, 2, 3, 4, 5}));

    SharedBuffer untouched = MakeSharedBuffer(1);
    SharedBuffer copy = untouched;
    EXPECT_EQ(reg.Read(kKey, L"text", untouched), static_cast<DWORD>(ERROR_CANTREAD)) << "a string is not binary";
    EXPECT_EQ(reg.Read(kKey + L"\\Nope", L"blob", untouched), static_cast<DWORD>(ERROR_CANTOPEN));
    EXPECT_EQ(untouched.get(), copy.get());
    EXPECT_TRUE(TestLog().Has(L"REG-NOTFOUND: " + kKey + L"\\text"));
}

TEST_F(RegistryTest, WritesCreateTheWholePathAndWriteValuesOrsTheResults)
{
    const std::wstring deep = kKey + L"\\A\\B\\C";
    EXPECT_EQ(reg.Write(deep, L"s", std::wstring(L"v")) + reg.Write(deep, L"d", DWORD{5}), 0u);
    EXPECT_EQ(reg.Write(deep, L"q", ULONGLONG{6}), 0u);
    std::wstring s;
    DWORD d = 0;
    ULONGLONG q = 0;
    EXPECT_EQ(reg.Read(deep, L"s", s) + reg.Read(deep, L"d", d) + reg.Read(deep, L"q", q), 0u) << "each its own type";
    EXPECT_EQ(s + std::to_wstring(d + q), L"v11");

    // A name longer than the registry allows fails; the others are written anyway.
    EXPECT_EQ(reg.WriteValues(kKey, {{L"a", L"1"}, {std::wstring(20000, L'n'), L"x"}, {L"z", L"26"}}),
              static_cast<DWORD>(ERROR_CANTWRITE));
    std::wstring a, z;
    EXPECT_TRUE(testmachine::ReadString(kKey, L"a", a) && testmachine::ReadString(kKey, L"z", z));
    EXPECT_EQ(a + z, L"126");
}

TEST_F(RegistryTest, EnumerationWalksPastOversizedValues)
{
    const std::wstring key = kKey + L"\\Enum";
    testmachine::SetString(key, L"first", L"1");
    testmachine::SetString(key, L"huge", std::wstring(3000, L'h'));  // 6002 bytes: more than the 4096-byte buffer
    testmachine::SetString(key, L"last", L"2");
    testmachine::SetDword(key, L"dword", 0x00410041);
    StringMap values{{L"first", L"stale"}};
    EXPECT_EQ(reg.EnumRegKeyValues(key, values), 0u);
    // A name already present is overwritten; data is taken as text up to its first terminator.
    EXPECT_EQ(values, (StringMap{{L"first", L"1"}, {L"last", L"2"}, {L"dword", L"AA"}}));

    StringList keys;
    testmachine::SetString(key + L"\\Sub1", L"x", L"y");
    testmachine::SetString(key + L"\\Sub2", L"x", L"y");
    EXPECT_EQ(reg.EnumRegKeys(key, keys), 0u);
    EXPECT_EQ(keys, (StringList{L"Sub1", L"Sub2"}));
    EXPECT_EQ(reg.EnumRegKeys(kKey + L"\\Missing", keys), static_cast<DWORD>(ERROR_CANTOPEN));
}

TEST_F(RegistryTest, DeleteAndNotify)
{
    EXPECT_EQ(reg.DeleteValue(kKey, L"text"), 0u);
    EXPECT_EQ(reg.DeleteValue(kKey, L"text"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(reg.DeleteValue(kKey + L"\\Missing", L"text"), static_cast<DWORD>(ERROR_CANTOPEN));
    testmachine::SetString(kKey + L"\\Leaf", L"x", L"y");
    EXPECT_EQ(reg.DeleteSubKey(kKey, L"Leaf"), 0u);
    EXPECT_FALSE(testmachine::KeyExists(kKey + L"\\Leaf"));
    EXPECT_EQ(reg.DeleteSubKey(kKey, L"Leaf"), static_cast<DWORD>(ERROR_CANTREAD));

    ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE h = event.Get();
    ASSERT_EQ(reg.NotifyChange(kKey, 0, h, true), 0u);
    testmachine::SetString(kKey, L"changed", L"1");
    EXPECT_EQ(::WaitForSingleObject(event.Get(), 5000), WAIT_OBJECT_0);
}

TEST_F(RegistryTest, KeyClassStrictChecks)
{
    Stratum::CRegKey closed;
    DWORD dword = 0;
    EXPECT_EQ(closed.QueryDWORDValue(L"number", dword), ERROR_INVALID_PARAMETER) << "no key open";
    Stratum::CRegKey key;
    Open(key, kKey);

    // Multi-strings: written up to the empty string, read back with both terminators; only from REG_MULTI_SZ.
    EXPECT_EQ(key.SetMultiStringValue(L"multi", L"one\0two\0"), ERROR_SUCCESS);
    wchar_t buffer[32];
    ULONG chars = 32, one = 1;
    EXPECT_EQ(key.QueryMultiStringValue(L"multi", buffer, &chars), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(buffer, chars), std::wstring(L"one\0two\0", 9));
    EXPECT_EQ(key.QueryMultiStringValue(L"multi", buffer, &one), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(key.QueryMultiStringValue(L"text", buffer, &chars), ERROR_INVALID_DATA);
    EXPECT_EQ(key.SetStringValue(L"x", nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(key.SetMultiStringValue(L"x", nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(key.SetValue(L"x", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);

    // A GUID is read only from a braced text (the ETW provider setting reads one).
    testmachine::SetString(kKey, L"bare", L"E16CA450-55CC-11E0-B8AF-0800200C9A66");
    GUID read = {1, 2, 3, {4}};
    EXPECT_EQ(key.QueryGUIDValue(L"bare", read), ERROR_INVALID_DATA);
    EXPECT_TRUE(IsEqualGUID(read, GUID{})) << "the GUID is cleared first";
}

// Wine adds a terminator to an unterminated REG_SZ, so the rule is shown with a raw read of exactly these bytes.
class RawStringKey : public Stratum::internal::CRegKeyImpl {
public:
    RawStringKey(std::vector<BYTE> data, DWORD type) : m_data(std::move(data)), m_type(type) {}
    LONG QueryValue(const wchar_t*, DWORD* type, void* data, ULONG* bytes) override
    {
        if (type) *type = m_type;
        const ULONG capacity = *bytes;
        *bytes = static_cast<ULONG>(m_data.size());
        if (!data) return ERROR_SUCCESS;
        if (capacity < m_data.size()) return ERROR_MORE_DATA;
        memcpy(data, m_data.data(), m_data.size());
        return ERROR_SUCCESS;
    }

private:
    std::vector<BYTE> m_data;
    DWORD m_type;
};

TEST_F(RegistryTest, StringReadsRefuseOddSizesAndMissingTerminators)
{
    const struct {
        std::vector<BYTE> data;
        LONG result;
        const wchar_t* value;
    } cases[] = {{{'a', 0, 'b', 0, 0, 0}, ERROR_SUCCESS, L"ab"},
                 {{'a', 0, 'b', 0}, ERROR_INVALID_DATA, L"keep"},
                 {{'a', 0, 0, 0, 0}, ERROR_INVALID_DATA, L"keep"}};  // terminated, but an odd size
    for (const auto& c : cases) {
        Stratum::CRegKey key(std::make_shared<RawStringKey>(c.data, REG_SZ));
        key.Attach(HKEY_LOCAL_MACHINE);  // any open key: the raw read above never touches it
        std::wstring value = L"keep";
        EXPECT_EQ(key.QueryStringValue(L"v", value), c.result) << c.data.size() << " bytes";
        EXPECT_EQ(value, c.value);
        key.Detach();
    }
}

TEST_F(RegistryTest, RecursiveRemovalDeleteOnCloseAndSharing)
{
    for (const wchar_t* sub : {L"\\Tree\\A\\A1", L"\\Tree\\A\\A2", L"\\Tree\\B", L"\\Temp\\Child", L"\\Shared\\Sub"})
        testmachine::SetString(kKey + sub, L"x", L"1");
    Stratum::CRegKey key;
    Open(key, kKey);
    EXPECT_NE(key.DeleteSubKey(L"Tree"), ERROR_SUCCESS) << "a key with sub-keys is not deleted flat";
    EXPECT_EQ(key.RecurseDeleteKey(L"Tree"), ERROR_SUCCESS);
    EXPECT_FALSE(testmachine::KeyExists(kKey + L"\\Tree"));

    // Delete-on-close empties the key when its handle is closed.
    Stratum::CRegKey temp, shared;
    Open(temp, kKey + L"\\Temp");
    temp.Impl()->SetDeleteOnClose(true);
    temp.Close();
    EXPECT_FALSE(testmachine::KeyExists(kKey + L"\\Temp\\Child"));

    // Sharing adds an entry allowing Everyone ("WD").
    Open(shared, kKey + L"\\Shared");
    ASSERT_EQ(shared.GrantEveryoneAccess(true), ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(shared.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> descriptor(size);
    ASSERT_EQ(shared.GetKeySecurity(DACL_SECURITY_INFORMATION, descriptor.data(), &size), ERROR_SUCCESS);
    wchar_t* sddl = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                                       DACL_SECURITY_INFORMATION, &sddl, nullptr));
    const std::wstring text = sddl;
    ::LocalFree(sddl);
    EXPECT_TRUE(std::regex_search(text, std::wregex(L"\\(A;[^()]*;;;WD\\)"))) << "an allowing entry for Everyone: "
                                                                                << testing::PrintToString(text);
}

}  // namespace
