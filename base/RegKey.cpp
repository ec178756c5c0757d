#include "common/Platform.h"

#include "base/RegKey.h"

#include "base/OSInfo.h"
#include "common/ExceptionBoundary.h"
#include "common/UniqueHandle.h"

#include <aclapi.h>
#include <objbase.h>
#include <shlwapi.h>

#include <atomic>
#include <cwchar>
#include <vector>

namespace Stratum {
namespace internal {
namespace {

using RegDeleteKeyExFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Looked up once per process; the lookup is idempotent, so no lock.
RegDeleteKeyExFn RegDeleteKeyExEntry()
{
    static std::atomic<bool> looked{false};
    static std::atomic<RegDeleteKeyExFn> entry{nullptr};
    if (!looked.load()) {
        HMODULE advapi = ::GetModuleHandleW(L"Advapi32.dll");
        if (!advapi) advapi = ::LoadLibraryW(L"Advapi32.dll");
        if (advapi) {
            entry.store(reinterpret_cast<RegDeleteKeyExFn>(
                reinterpret_cast<void*>(::GetProcAddress(advapi, "RegDeleteKeyExW"))));
        }
        looked.store(true);
    }
    return entry.load();
}

}  // namespace

CRegKeyImpl::~CRegKeyImpl() { Close(); }

LONG CRegKeyImpl::QueryValue(const wchar_t* name, DWORD* type, void* data, ULONG* bytes)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    return ::RegQueryValueExW(m_key, name, nullptr, type, static_cast<BYTE*>(data), bytes);
}

LONG CRegKeyImpl::SetValue(const wchar_t* name, DWORD type, const void* data, ULONG bytes)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!data || bytes == 0) return ERROR_INVALID_PARAMETER;
    return ::RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), bytes);
}

LONG CRegKeyImpl::SetGUIDValue(const wchar_t* name, REFGUID guid)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    wchar_t text[64];
    if (::StringFromGUID2(guid, text, 64) == 0) return ERROR_INVALID_DATA;
    return SetStringValue(name, text, REG_SZ);
}

LONG CRegKeyImpl::SetBinaryValue(const wchar_t* name, const void* data, ULONG bytes)
{
    return SetValue(name, REG_BINARY, data, bytes);
}

LONG CRegKeyImpl::SetDWORDValue(const wchar_t* name, DWORD value)
{
    return SetValue(name, REG_DWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::SetQWORDValue(const wchar_t* name, ULONGLONG value)
{
    return SetValue(name, REG_QWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::SetStringValue(const wchar_t* name, const wchar_t* text, DWORD type)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!text) return ERROR_INVALID_DATA;
    return SetValue(name, type, text, static_cast<ULONG>((wcslen(text) + 1) * sizeof(wchar_t)));
}

LONG CRegKeyImpl::SetMultiStringValue(const wchar_t* name, const wchar_t* text)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!text) return ERROR_INVALID_DATA;
    // The size runs over every terminated string up to and including the empty one.
    const wchar_t* p = text;
    while (*p) p += wcslen(p) + 1;
    const ULONG bytes = static_cast<ULONG>((p - text + 1) * sizeof(wchar_t));
    return SetValue(name, REG_MULTI_SZ, text, bytes);
}

LONG CRegKeyImpl::QueryGUIDValue(const wchar_t* name, GUID& guid)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    guid = GUID{};
    wchar_t text[64];
    ULONG chars = 64;
    const LONG rc = QueryStringValue(name, text, &chars);
    if (rc != ERROR_SUCCESS) return rc;
    if (text[0] != L'{') return ERROR_INVALID_DATA;
    return SUCCEEDED(::CLSIDFromString(text, &guid)) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryBinaryValue(const wchar_t* name, void* data, ULONG* bytes)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    const LONG rc = QueryValue(name, &type, data, bytes);
    if (rc != ERROR_SUCCESS) return rc;
    return type == REG_BINARY ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryDWORDValue(const wchar_t* name, DWORD& value)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    DWORD read = 0;
    ULONG bytes = sizeof(read);
    const LONG rc = QueryValue(name, &type, &read, &bytes);
    // A larger value of another type is a type mismatch, not a buffer problem.
    if (rc == ERROR_MORE_DATA && type != REG_DWORD) return ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_DWORD || bytes != sizeof(read)) return ERROR_INVALID_DATA;
    value = read;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryQWORDValue(const wchar_t* name, ULONGLONG& value)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    ULONGLONG read = 0;
    ULONG bytes = sizeof(read);
    const LONG rc = QueryValue(name, &type, &read, &bytes);
    if (rc == ERROR_MORE_DATA && type != REG_QWORD) return ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_QWORD || bytes != sizeof(read)) return ERROR_INVALID_DATA;
    value = read;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryStringValue(const wchar_t* name, std::wstring& value)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    ULONG chars = 0;
    LONG rc = QueryStringValue(name, nullptr, &chars);
    if (rc != ERROR_SUCCESS) return rc;
    // One character more than reported, so an odd byte count still fits and
    // is refused for what it is rather than as a short buffer.
    std::vector<wchar_t> buffer;
    rc = boundary::Answer({.noMemory = ERROR_OUTOFMEMORY, .other = ERROR_OUTOFMEMORY}, [&] {
        buffer.resize(static_cast<size_t>(chars) + 1, L'\0');
        return LONG{ERROR_SUCCESS};
    });
    if (rc != ERROR_SUCCESS) return rc;
    chars += 1;
    rc = QueryStringValue(name, buffer.data(), &chars);
    if (rc != ERROR_SUCCESS) return rc;
    value.assign(buffer.data());
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!chars) return ERROR_INVALID_PARAMETER;
    ULONG bytes = *chars * sizeof(wchar_t);
    *chars = 0;
    DWORD type = 0;
    const LONG rc = QueryValue(name, &type, buffer, &bytes);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    if (buffer) {
        if (bytes != 0) {
            if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0') {
                return ERROR_INVALID_DATA;
            }
        } else {
            buffer[0] = L'\0';
        }
    }
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryMultiStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!chars) return ERROR_INVALID_PARAMETER;
    if (buffer && *chars < 2) return ERROR_INSUFFICIENT_BUFFER;
    ULONG bytes = *chars * sizeof(wchar_t);
    *chars = 0;
    DWORD type = 0;
    const LONG rc = QueryValue(name, &type, buffer, &bytes);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_MULTI_SZ) return ERROR_INVALID_DATA;
    if (buffer) {
        if (bytes == 0 || bytes % sizeof(wchar_t) != 0) return ERROR_INVALID_DATA;
        const ULONG count = bytes / sizeof(wchar_t);
        if (buffer[count - 1] != L'\0') return ERROR_INVALID_DATA;
        if (count > 1 && buffer[count - 2] != L'\0') return ERROR_INVALID_DATA;
    }
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::GetKeySecurity(SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor, DWORD* bytes)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!bytes) return ERROR_INVALID_PARAMETER;
    return ::RegGetKeySecurity(m_key, what, descriptor, bytes);
}

LONG CRegKeyImpl::SetKeySecurity(SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!descriptor) return ERROR_INVALID_PARAMETER;
    return ::RegSetKeySecurity(m_key, what, descriptor);
}

LONG CRegKeyImpl::Create(HKEY parent, const wchar_t* name, wchar_t* keyClass, DWORD options, REGSAM access,
                         LPSECURITY_ATTRIBUTES attributes, DWORD* disposition)
{
    HKEY key = nullptr;
    DWORD created = 0;
    const LONG rc = ::RegCreateKeyExW(parent, name, 0, keyClass, options, access, attributes, &key, &created);
    if (disposition) *disposition = created;
    if (rc != ERROR_SUCCESS) return rc;
    Close();
    m_key = key;
    m_view = access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    m_deleteOnClose = false;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::Open(HKEY parent, const wchar_t* name, REGSAM access)
{
    HKEY key = nullptr;
    const LONG rc = ::RegOpenKeyExW(parent, name, 0, access, &key);
    if (rc != ERROR_SUCCESS) return rc;
    Close();
    m_key = key;
    m_view = access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    m_deleteOnClose = false;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::Close()
{
    LONG rc = ERROR_SUCCESS;
    if (m_key) {
        if (m_deleteOnClose) {
            ::SHDeleteKeyW(m_key, L"");
            m_deleteOnClose = false;
        }
        rc = ::RegCloseKey(m_key);
    }
    m_key = nullptr;
    m_view = 0;
    return rc;
}

LONG CRegKeyImpl::Flush()
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    return ::RegFlushKey(m_key);
}

HKEY CRegKeyImpl::Detach()
{
    HKEY key = m_key;
    m_key = nullptr;
    m_view = 0;
    m_deleteOnClose = false;
    return key;
}

void CRegKeyImpl::Attach(HKEY key)
{
    m_key = key;
    m_view = 0;
    m_deleteOnClose = false;
}

LONG CRegKeyImpl::EnumKey(DWORD index, wchar_t* name, DWORD* chars, FILETIME* lastWrite)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    FILETIME ignored;
    return ::RegEnumKeyExW(m_key, index, name, chars, nullptr, nullptr, nullptr, lastWrite ? lastWrite : &ignored);
}

LONG CRegKeyImpl::NotifyChangeKeyValue(BOOL subtree, DWORD filter, HANDLE event, BOOL async)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    return ::RegNotifyChangeKeyValue(m_key, subtree, filter, event, async);
}

LONG CRegKeyImpl::DeleteSubKey(const wchar_t* name)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!name) return ERROR_INVALID_PARAMETER;
    if (RegDeleteKeyExFn deleteEx = RegDeleteKeyExEntry()) return deleteEx(m_key, name, m_view, 0);
    return ::RegDeleteKeyW(m_key, name);
}

LONG CRegKeyImpl::RecurseDeleteKey(const wchar_t* name)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!name) return ERROR_INVALID_PARAMETER;
    CRegKeyImpl child;
    LONG rc = child.Open(m_key, name, KEY_READ | KEY_WRITE | m_view);
    if (rc != ERROR_SUCCESS) return rc;
    // Always enumerate index 0: each deletion shifts the remaining sub-keys down.
    for (;;) {
        wchar_t subName[256];
        DWORD chars = 256;
        if (child.EnumKey(0, subName, &chars) != ERROR_SUCCESS) break;
        rc = child.RecurseDeleteKey(subName);
        if (rc != ERROR_SUCCESS) return rc;
    }
    child.Close();
    return DeleteSubKey(name);
}

LONG CRegKeyImpl::DeleteValue(const wchar_t* name)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!name) return ERROR_INVALID_PARAMETER;
    return ::RegDeleteValueW(m_key, name);
}

LONG CRegKeyImpl::GrantEveryoneAccess(bool recursive)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    if (!OSInfo().IsNTPlatform()) return ERROR_SUCCESS;
    return grantEveryoneAccess(m_key, recursive);
}

LONG CRegKeyImpl::grantEveryoneAccess(HKEY key, bool recursive)
{
    DWORD size = 0;
    LONG rc = ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (rc != ERROR_INSUFFICIENT_BUFFER) return rc == ERROR_SUCCESS ? ERROR_BAD_LENGTH : rc;
    if (size == 0) return ERROR_BAD_LENGTH;
    ScopedLocalMem descriptor(::LocalAlloc(LPTR, size));
    if (!descriptor) return ERROR_OUTOFMEMORY;
    rc = ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.Get(), &size);
    if (rc != ERROR_SUCCESS) return rc;

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL oldDacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor.Get(), &present, &oldDacl, &defaulted)) return ::GetLastError();

    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    ScopedSid everyone;
    if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.Put())) {
        return ::GetLastError();
    }
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone.Get());
    PACL newDacl = nullptr;
    rc = static_cast<LONG>(::SetEntriesInAclW(1, &access, present ? oldDacl : nullptr, &newDacl));
    if (rc != ERROR_SUCCESS) return rc;
    ScopedLocalMem newDaclOwner(newDacl);

    SECURITY_DESCRIPTOR absolute;
    if (!::InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&absolute, TRUE, newDacl, FALSE)) {
        return ::GetLastError();
    }
    rc = ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &absolute);
    if (rc != ERROR_SUCCESS || !recursive) return rc;

    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD chars = 256;
        FILETIME lastWrite;
        rc = ::RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, &lastWrite);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        ScopedRegKey child;
        rc = ::RegOpenKeyExW(key, name, 0, KEY_ALL_ACCESS | m_view, child.Put());
        if (rc != ERROR_SUCCESS) return rc;
        rc = grantEveryoneAccess(child.Get(), true);
        if (rc != ERROR_SUCCESS) return rc;
    }
}

void CRegKeyImpl::SetDeleteOnClose(bool deleteOnClose) { m_deleteOnClose = deleteOnClose; }

bool CRegKeyImpl::IsDeleteOnClose() const { return m_deleteOnClose; }

}  // namespace internal

CRegKey::CRegKey() : m_impl(std::make_shared<internal::CRegKeyImpl>()) {}
CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl)
    : m_impl(impl ? std::move(impl) : std::make_shared<internal::CRegKeyImpl>())
{
}
CRegKey::~CRegKey()
{
    if (m_impl) m_impl->Close();
}

LONG CRegKey::QueryValue(const wchar_t* n, DWORD* t, void* d, ULONG* b) { return m_impl->QueryValue(n, t, d, b); }
LONG CRegKey::SetValue(const wchar_t* n, DWORD t, const void* d, ULONG b) { return m_impl->SetValue(n, t, d, b); }
LONG CRegKey::SetGUIDValue(const wchar_t* n, REFGUID g) { return m_impl->SetGUIDValue(n, g); }
LONG CRegKey::SetBinaryValue(const wchar_t* n, const void* d, ULONG b) { return m_impl->SetBinaryValue(n, d, b); }
LONG CRegKey::SetDWORDValue(const wchar_t* n, DWORD v) { return m_impl->SetDWORDValue(n, v); }
LONG CRegKey::SetQWORDValue(const wchar_t* n, ULONGLONG v) { return m_impl->SetQWORDValue(n, v); }
LONG CRegKey::SetStringValue(const wchar_t* n, const wchar_t* t, DWORD ty) { return m_impl->SetStringValue(n, t, ty); }
LONG CRegKey::SetMultiStringValue(const wchar_t* n, const wchar_t* t) { return m_impl->SetMultiStringValue(n, t); }
LONG CRegKey::QueryGUIDValue(const wchar_t* n, GUID& g) { return m_impl->QueryGUIDValue(n, g); }
LONG CRegKey::QueryBinaryValue(const wchar_t* n, void* d, ULONG* b) { return m_impl->QueryBinaryValue(n, d, b); }
LONG CRegKey::QueryDWORDValue(const wchar_t* n, DWORD& v) { return m_impl->QueryDWORDValue(n, v); }
LONG CRegKey::QueryQWORDValue(const wchar_t* n, ULONGLONG& v) { return m_impl->QueryQWORDValue(n, v); }
LONG CRegKey::QueryStringValue(const wchar_t* n, std::wstring& v) { return m_impl->QueryStringValue(n, v); }
LONG CRegKey::QueryStringValue(const wchar_t* n, wchar_t* b, ULONG* c) { return m_impl->QueryStringValue(n, b, c); }
LONG CRegKey::QueryMultiStringValue(const wchar_t* n, wchar_t* b, ULONG* c)
{
    return m_impl->QueryMultiStringValue(n, b, c);
}
LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION w, PSECURITY_DESCRIPTOR d, DWORD* b)
{
    return m_impl->GetKeySecurity(w, d, b);
}
LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION w, PSECURITY_DESCRIPTOR d) { return m_impl->SetKeySecurity(w, d); }
LONG CRegKey::Create(HKEY p, const wchar_t* n, wchar_t* c, DWORD o, REGSAM a, LPSECURITY_ATTRIBUTES s, DWORD* d)
{
    return m_impl->Create(p, n, c, o, a, s, d);
}
LONG CRegKey::Open(HKEY p, const wchar_t* n, REGSAM a) { return m_impl->Open(p, n, a); }
LONG CRegKey::Flush() { return m_impl->Flush(); }
LONG CRegKey::EnumKey(DWORD i, wchar_t* n, DWORD* c, FILETIME* t) { return m_impl->EnumKey(i, n, c, t); }
LONG CRegKey::NotifyChangeKeyValue(BOOL s, DWORD f, HANDLE e, BOOL a)
{
    return m_impl->NotifyChangeKeyValue(s, f, e, a);
}
LONG CRegKey::DeleteSubKey(const wchar_t* n) { return m_impl->DeleteSubKey(n); }
LONG CRegKey::RecurseDeleteKey(const wchar_t* n) { return m_impl->RecurseDeleteKey(n); }
LONG CRegKey::DeleteValue(const wchar_t* n) { return m_impl->DeleteValue(n); }
LONG CRegKey::GrantEveryoneAccess(bool r) { return m_impl->GrantEveryoneAccess(r); }
LONG CRegKey::Close() { return m_impl->Close(); }
void CRegKey::Attach(HKEY key) { m_impl->Attach(key); }
HKEY CRegKey::Detach() { return m_impl->Detach(); }
HKEY CRegKey::Handle() const { return m_impl->Key(); }

LONG CObfuscatedRegKeyImpl::QueryValue(const wchar_t* name, DWORD* type, void* data, ULONG* bytes)
{
    return CRegKeyImpl::QueryValue(name, type, data, bytes);
}

LONG CObfuscatedRegKeyImpl::SetValue(const wchar_t* name, DWORD type, const void* data, ULONG bytes)
{
    return CRegKeyImpl::SetValue(name, type, data, bytes);
}

CObfuscatedRegKey::CObfuscatedRegKey() : CRegKey(std::make_shared<CObfuscatedRegKeyImpl>()) {}

}  // namespace Stratum
