// The base library's registry key: a thin handle object sharing one
// implementation that owns the open HKEY and performs strictly typed reads
// and writes. Copies share the same open key.
#pragma once

#include "common/Platform.h"

#include <memory>
#include <string>

namespace Stratum {
namespace internal {

class CRegKeyImpl {
public:
    CRegKeyImpl() = default;
    CRegKeyImpl(const CRegKeyImpl&) = delete;
    CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

    virtual ~CRegKeyImpl();
    virtual LONG QueryValue(const wchar_t* name, DWORD* type, void* data, ULONG* bytes);
    virtual LONG SetValue(const wchar_t* name, DWORD type, const void* data, ULONG bytes);
    virtual LONG SetGUIDValue(const wchar_t* name, REFGUID guid);
    virtual LONG SetBinaryValue(const wchar_t* name, const void* data, ULONG bytes);
    virtual LONG SetDWORDValue(const wchar_t* name, DWORD value);
    virtual LONG SetQWORDValue(const wchar_t* name, ULONGLONG value);
    virtual LONG SetStringValue(const wchar_t* name, const wchar_t* text, DWORD type = REG_SZ);
    virtual LONG SetMultiStringValue(const wchar_t* name, const wchar_t* text);
    virtual LONG QueryGUIDValue(const wchar_t* name, GUID& guid);
    virtual LONG QueryBinaryValue(const wchar_t* name, void* data, ULONG* bytes);
    virtual LONG QueryDWORDValue(const wchar_t* name, DWORD& value);
    virtual LONG QueryQWORDValue(const wchar_t* name, ULONGLONG& value);
    virtual LONG QueryStringValue(const wchar_t* name, std::wstring& value);
    virtual LONG QueryStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars);
    virtual LONG QueryMultiStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars);
    virtual LONG GetKeySecurity(SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor, DWORD* bytes);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor);
    virtual LONG Create(HKEY parent, const wchar_t* name, wchar_t* keyClass = nullptr,
                        DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_READ | KEY_WRITE,
                        LPSECURITY_ATTRIBUTES attributes = nullptr, DWORD* disposition = nullptr);
    virtual LONG Open(HKEY parent, const wchar_t* name, REGSAM access = KEY_READ | KEY_WRITE);
    virtual LONG Close();
    virtual LONG Flush();
    virtual HKEY Detach();
    virtual void Attach(HKEY key);
    virtual LONG EnumKey(DWORD index, wchar_t* name, DWORD* chars, FILETIME* lastWrite = nullptr);
    virtual LONG NotifyChangeKeyValue(BOOL subtree, DWORD filter, HANDLE event, BOOL async = TRUE);
    virtual LONG DeleteSubKey(const wchar_t* name);
    virtual LONG RecurseDeleteKey(const wchar_t* name);
    virtual LONG DeleteValue(const wchar_t* name);
    virtual LONG GrantEveryoneAccess(bool recursive);
    virtual void SetDeleteOnClose(bool deleteOnClose);
    virtual bool IsDeleteOnClose() const;

    HKEY Key() const { return m_key; }
    REGSAM View() const { return m_view; }

private:
    [[nodiscard]] LONG grantEveryoneAccess(HKEY key, bool recursive);

    HKEY m_key = nullptr;
    REGSAM m_view = 0;  // KEY_WOW64_64KEY / KEY_WOW64_32KEY bits the key was opened with
    bool m_deleteOnClose = false;
};

}  // namespace internal

class CRegKey {
public:
    CRegKey();
    explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl);
    CRegKey(const CRegKey&) = default;
    CRegKey& operator=(const CRegKey&) = default;

    virtual ~CRegKey();
    virtual LONG QueryValue(const wchar_t* name, DWORD* type, void* data, ULONG* bytes);
    virtual LONG SetValue(const wchar_t* name, DWORD type, const void* data, ULONG bytes);
    virtual LONG SetGUIDValue(const wchar_t* name, REFGUID guid);
    virtual LONG SetBinaryValue(const wchar_t* name, const void* data, ULONG bytes);
    virtual LONG SetDWORDValue(const wchar_t* name, DWORD value);
    virtual LONG SetQWORDValue(const wchar_t* name, ULONGLONG value);
    virtual LONG SetStringValue(const wchar_t* name, const wchar_t* text, DWORD type = REG_SZ);
    virtual LONG SetMultiStringValue(const wchar_t* name, const wchar_t* text);
    virtual LONG QueryGUIDValue(const wchar_t* name, GUID& guid);
    virtual LONG QueryBinaryValue(const wchar_t* name, void* data, ULONG* bytes);
    virtual LONG QueryDWORDValue(const wchar_t* name, DWORD& value);
    virtual LONG QueryQWORDValue(const wchar_t* name, ULONGLONG& value);
    virtual LONG QueryStringValue(const wchar_t* name, std::wstring& value);
    virtual LONG QueryStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars);
    virtual LONG QueryMultiStringValue(const wchar_t* name, wchar_t* buffer, ULONG* chars);
    virtual LONG GetKeySecurity(SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor, DWORD* bytes);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor);
    virtual LONG Create(HKEY parent, const wchar_t* name, wchar_t* keyClass = nullptr,
                        DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_READ | KEY_WRITE,
                        LPSECURITY_ATTRIBUTES attributes = nullptr, DWORD* disposition = nullptr);
    virtual LONG Open(HKEY parent, const wchar_t* name, REGSAM access = KEY_READ | KEY_WRITE);
    virtual LONG Flush();
    virtual LONG EnumKey(DWORD index, wchar_t* name, DWORD* chars, FILETIME* lastWrite = nullptr);
    virtual LONG NotifyChangeKeyValue(BOOL subtree, DWORD filter, HANDLE event, BOOL async = TRUE);
    virtual LONG DeleteSubKey(const wchar_t* name);
    virtual LONG RecurseDeleteKey(const wchar_t* name);
    virtual LONG DeleteValue(const wchar_t* name);
    virtual LONG GrantEveryoneAccess(bool recursive);

    LONG Close();
    void Attach(HKEY key);
    HKEY Detach();
    HKEY Handle() const;
    const std::shared_ptr<internal::CRegKeyImpl>& Impl() const { return m_impl; }

protected:
    std::shared_ptr<internal::CRegKeyImpl> m_impl;
};

// Values of the logging configuration may be stored scrambled by the base
// library. This build reads and writes plain values only: a scrambled value is
// returned as stored, and its reader sees text it cannot parse.
class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl {
public:
    LONG QueryValue(const wchar_t* name, DWORD* type, void* data, ULONG* bytes) override;
    LONG SetValue(const wchar_t* name, DWORD type, const void* data, ULONG bytes) override;
};

class CObfuscatedRegKey : public CRegKey {
public:
    CObfuscatedRegKey();
};

}  // namespace Stratum
