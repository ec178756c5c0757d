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

std::wstring UniqueName(const wchar_t* what)
{
    return std::wstring(L"Global\\QelTest-") + what + L"-" + std::to_wstring(::GetCurrentProcessId());
}

// The mutex's DACL as written (in SDDL), read through a handle of its own.
std::wstring DaclOf(const std::wstring& name)
{
    ScopedHandle handle(::OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    LPWSTR text = nullptr;
    const bool ok = handle &&
                    ::GetSecurityInfo(handle.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                           DACL_SECURITY_INFORMATION, &text, nullptr);
    ScopedLocalMem freeDescriptor(descriptor), freeText(text);
    return ok ? text : L"(unreadable)";
}

// A mutex someone else made first, with an access list (and owner) of their own.
ScopedHandle MadeFirst(const std::wstring& name, PACL dacl, PSID owner = nullptr)
{
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
    if (owner) ::SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    return ScopedHandle(::CreateMutexW(&attributes, FALSE, name.c_str()));
}

// WAIT_OBJECT_0 when another thread can take the mutex now (it then releases it).
DWORD TakeOnAnotherThread(HANDLE mutex)
{
    DWORD rc = WAIT_FAILED;
    std::thread([&] {
        rc = ::WaitForSingleObject(mutex, 0);
        if (rc == WAIT_OBJECT_0) ::ReleaseMutex(mutex);
    }).join();
    return rc;
}

TEST(DBLockTest, ACreatedMutexDeniesResecuringAndAnExistingOneIsOpenedAsItIs)
{
    TestLog().Clear();
    const std::wstring created = UniqueName(L"created"), existing = UniqueName(L"existing");
    CSingleMutexForAllUser mutex(created);
    ASSERT_NE(mutex.Handle(), nullptr);
    // Everyone: denied WRITE_DAC and DELETE, then allowed GENERIC_ALL.
    EXPECT_EQ(DaclOf(created), L"D:(D;;SDWD;;;WD)(A;;GA;;;WD)");

    ScopedHandle first = MadeFirst(existing, nullptr);
    ASSERT_TRUE(first);
    const std::wstring before = DaclOf(existing);
    CSingleMutexForAllUser opened(existing);
    EXPECT_TRUE(opened.Handle() != nullptr && DaclOf(existing) == before);
    EXPECT_TRUE(TestLog().Texts().empty());
}

// The deny entry binds every user who does not own the mutex. (Wine, like Windows, lets the owner
// change the DACL regardless, so the mutex gets a foreign owner to stand in for another user.)
TEST(DBLockTest, AnotherUserTakesTheMutexButCannotResecureOrDeleteIt)
{
    const std::wstring name = UniqueName(L"foreign");
    NotQuiteNullDacl dacl;
    ASSERT_TRUE(dacl.Create());
    PSID system = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-18", &system));
    ScopedLocalMem freeSid(system);
    ScopedHandle created = MadeFirst(name, dacl.Dacl(), system);
    ASSERT_TRUE(created) << ::GetLastError();
    for (DWORD denied : {static_cast<DWORD>(WRITE_DAC), static_cast<DWORD>(DELETE)}) {
        EXPECT_FALSE(ScopedHandle(::OpenMutexW(denied, FALSE, name.c_str()))) << "access 0x" << std::hex << denied;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    CSingleMutexForAllUser mutex(name);
    ASSERT_NE(mutex.Handle(), nullptr);
    {
        CSingleMutexForAllUserGrab grab(mutex);
        EXPECT_EQ(TakeOnAnotherThread(created.Get()), static_cast<DWORD>(WAIT_TIMEOUT)) << "held by the grab";
    }
    EXPECT_EQ(TakeOnAnotherThread(created.Get()), static_cast<DWORD>(WAIT_OBJECT_0)) << "released by the grab";
}

}  // namespace
