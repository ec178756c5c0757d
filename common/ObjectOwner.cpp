#include "common/Platform.h"

#include "common/ObjectOwner.h"

#include "common/UniqueHandle.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(buffer);
    return ::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer);
}

// The account this process runs as: its user, or the owner it gives what it
// creates (for LocalSystem, itself or Administrators).
bool IsProcessAccount(PSID sid)
{
    ScopedHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put())) return false;
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    BYTE owner[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return (::GetTokenInformation(token.Get(), TokenUser, user, sizeof(user), &size) &&
            ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid)) ||
           (::GetTokenInformation(token.Get(), TokenOwner, owner, sizeof(owner), &size) &&
            ::EqualSid(sid, reinterpret_cast<TOKEN_OWNER*>(owner)->Owner));
}

}  // namespace

bool IsRightfulOwner(PSID sid)
{
    return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
           IsProcessAccount(sid);
}

ObjectOwner CObjectOwners::OwnerOf(HANDLE object, std::wstring& who)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rc = ::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                       nullptr, &descriptor);
    ScopedLocalMem held(descriptor);
    if (rc != ERROR_SUCCESS) {
        who = L"an owner that cannot be read (error " + std::to_wstring(rc) + L")";
        return ObjectOwner::Other;
    }
    if (!owner) {
        who = L"no owner";
        return ObjectOwner::NotReported;
    }
    LPWSTR text = nullptr;
    who = ::ConvertSidToStringSidW(owner, &text) ? text : L"an unreadable SID";
    ScopedLocalMem textHeld(text);
    return IsRightfulOwner(owner) ? ObjectOwner::Rightful : ObjectOwner::Other;
}
