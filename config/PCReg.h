// The registry wrapper every part of the program uses: each operation opens
// root\key for just that call (in the native view on 64-bit Windows), reads or
// writes one value, closes the key, logs a failure and returns a small code:
// 0, 1011 (key cannot be opened), 1012 (value cannot be read), 1013 (cannot be written).
// An output argument is never changed by a failed read.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"

#include <string>

class CPCReg {
public:
    CPCReg();
    // As if the process ran under WOW64 (a 32-bit program on 64-bit Windows) or
    // not: the default asks IsWow64Process. Every key is then opened in the
    // native (64-bit) view, KEY_WOW64_64KEY.
    explicit CPCReg(bool underWow64);
    virtual ~CPCReg() = default;

    virtual DWORD Read(const std::wstring& key, const std::wstring& name, DWORD& out);
    virtual DWORD Read(const std::wstring& key, const std::wstring& name, ULONGLONG& out);
    // The buffer is replaced by a zeroed one of the value's exact size before the read.
    virtual DWORD Read(const std::wstring& key, const std::wstring& name, SharedBuffer& out);
    virtual DWORD Read(const std::wstring& key, const std::wstring& name, std::wstring& out);
    // Every entry is written; the result is the OR of all results.
    virtual DWORD WriteValues(const std::wstring& key, const StringMap& values);
    virtual DWORD Write(const std::wstring& key, const std::wstring& name, const std::wstring& value);
    virtual DWORD Write(const std::wstring& key, const std::wstring& name, DWORD value);
    virtual DWORD Write(const std::wstring& key, const std::wstring& name, ULONGLONG value);
    virtual DWORD DeleteValue(const std::wstring& key, const std::wstring& name);
    virtual DWORD NotifyChange(const std::wstring& key, DWORD ignored, HANDLE& event, bool async);
    virtual DWORD DeleteSubKey(const std::wstring& key, const std::wstring& subKey);
    virtual DWORD EnumRegKeys(const std::wstring& key, StringList& out);
    virtual DWORD EnumRegKeyValues(const std::wstring& key, StringMap& out);
    virtual DWORD SetRootKey(HKEY root);
    virtual HKEY GetRootKey();

    REGSAM ViewFlags() const { return m_viewFlags; }

private:
    template <typename Reader>
    [[nodiscard]] DWORD readValue(const std::wstring& key, const std::wstring& name, Reader read);
    template <typename Writer>
    [[nodiscard]] DWORD writeValue(const std::wstring& key, const std::wstring& name, Writer write);

    REGSAM m_viewFlags = 0;
    HKEY m_root = HKEY_LOCAL_MACHINE;
};
