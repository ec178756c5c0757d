// The cross-process mutex of the data store: its access list, opening an
// existing one as it is, what another user may do with it, and degrading to
// no lock instead of failing the caller.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/DBLock.h"
#include "tests/support/CaptureLog.h"

#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <thread>

namespace {

struct Ace {
    BYTE type;
    ACCESS_MASK mask;
    std::wstring sid;
    bool operator==(const Ace& other) const
    {
        return type == other.type && mask == other.mask && sid == other.sid;
    }
};

std::ostream& operator<<(std::ostream& out, const Ace& ace)
{
    return out << "{type " << int(ace.type) << ", mask 0x" << std::hex << ace.mask << std::dec << ", "
               << std::string(ace.sid.begin(), ace.sid.end()) << "}";
}

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
    std::wstring result = text;
    ::LocalFree(text);
    return result;
}

// The mutex's DACL as written, read through a handle of its own.
std::vector<Ace> DaclOf(const std::wstring& name)
{
    std::vector<Ace> aces;
    ScopedHandle handle(::OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
    EXPECT_TRUE(handle) << "READ_CONTROL " << ::GetLastError();
    if (!handle) return aces;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(::GetSecurityInfo(handle.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ScopedLocalMem free(descriptor);
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) break;
        // Allowed and denied ACEs share one layout: header, mask, SID.
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        aces.push_back({header->AceType, ace->Mask, SidText(&ace->SidStart)});
    }
    return aces;
}

std::wstring UniqueName(const wchar_t* what)
{
    return std::wstring(L"Global\\QelTest-") + what + L"-" + std::to_wstring(::GetCurrentProcessId());
}

TEST(DBLockTest, CreatedMutexDeniesResecuringBeforeItAllowsEverything)
{
    NotQuiteNullDacl dacl;
    ASSERT_TRUE(dacl.Create());
    ASSERT_EQ(dacl.Dacl()->AceCount, 2);

    const std::wstring name = UniqueName(L"created");
    CSingleMutexForAllUser mutex(name);
    ASSERT_NE(mutex.Handle(), nullptr);
    EXPECT_EQ(DaclOf(name), (std::vector<Ace>{{ACCESS_DENIED_ACE_TYPE, WRITE_DAC | DELETE, L"S-1-1-0"},
                                              {ACCESS_ALLOWED_ACE_TYPE, GENERIC_ALL, L"S-1-1-0"}}));
}

TEST(DBLockTest, ExistingMutexIsOpenedAsItIs)
{
    const std::wstring name = UniqueName(L"existing");
    // Someone else made it first, with an access list of their own.
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    ScopedHandle first(::CreateMutexW(&attributes, FALSE, name.c_str()));
    ASSERT_TRUE(first);
    const std::vector<Ace> before = DaclOf(name);

    CSingleMutexForAllUser mutex(name);
    ASSERT_NE(mutex.Handle(), nullptr);
    EXPECT_EQ(DaclOf(name), before);

    // The opened handle (SYNCHRONIZE only) takes and releases it.
    {
        CSingleMutexForAllUserGrab grab(mutex);
        EXPECT_EQ(::WaitForSingleObject(first.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "re-entrant";
        ::ReleaseMutex(first.Get());
        DWORD other = 0;
        std::thread([&] { other = ::WaitForSingleObject(first.Get(), 0); }).join();
        EXPECT_EQ(other, static_cast<DWORD>(WAIT_TIMEOUT)) << "held by this thread";
    }
    DWORD other = 0;
    std::thread([&] {
        other = ::WaitForSingleObject(first.Get(), 0);
        if (other == WAIT_OBJECT_0) ::ReleaseMutex(first.Get());
    }).join();
    EXPECT_EQ(other, static_cast<DWORD>(WAIT_OBJECT_0)) << "released by the grab";
    EXPECT_TRUE(TestLog().Texts().empty());
}

// The deny entry binds every user who does not own the mutex. (Wine, like
// Windows, gives the owner the right to change the DACL regardless, so the
// test makes the mutex with a foreign owner to stand in for another user.)
TEST(DBLockTest, AnotherUserTakesTheMutexButCannotResecureOrDeleteIt)
{
    const std::wstring name = UniqueName(L"foreign");
    NotQuiteNullDacl dacl;
    ASSERT_TRUE(dacl.Create());
    PSID system = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-18", &system));
    ScopedLocalMem freeSid(system);
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl.Dacl(), FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&descriptor, system, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    ScopedHandle created(::CreateMutexW(&attributes, FALSE, name.c_str()));
    ASSERT_TRUE(created) << ::GetLastError();

    for (DWORD denied : {static_cast<DWORD>(WRITE_DAC), static_cast<DWORD>(DELETE)}) {
        ScopedHandle attempt(::OpenMutexW(denied, FALSE, name.c_str()));
        EXPECT_FALSE(attempt) << "access 0x" << std::hex << denied;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }

    CSingleMutexForAllUser mutex(name);
    ASSERT_NE(mutex.Handle(), nullptr);
    {
        CSingleMutexForAllUserGrab grab(mutex);
    }
    EXPECT_NE(::SetSecurityInfo(mutex.Handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                nullptr, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(TestLog().Texts().empty());
}

TEST(DBLockTest, WithoutAMutexCallersGoOnUnlocked)
{
    TestLog().Clear();
    // No such namespace: the mutex can be neither opened nor created.
    CSingleMutexForAllUser mutex(L"NoSuchNamespace\\QelTest");
    EXPECT_EQ(mutex.Handle(), nullptr);
    const auto lines = TestLog().Lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::wstring prefix = L"Process: " + std::to_wstring(::GetCurrentProcessId()) +
                                L" DBLock / _create : createMutexForAllUser failed, err :";
    EXPECT_EQ(lines[0].text.substr(0, prefix.size()), prefix);
    EXPECT_NE(lines[0].text, prefix + L"0");
    EXPECT_EQ(lines[0].level, 4u);

    TestLog().Clear();
    {
        CSingleMutexForAllUserGrab grab(mutex);
    }
    EXPECT_EQ(TestLog().Texts(), std::vector<std::wstring>{L"Invalid Handle - NULL "});
    EXPECT_EQ(TestLog().Lines()[0].level, 2u);
}

}  // namespace
