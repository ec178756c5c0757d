#include "common/Platform.h"

#include "config/PCReg.h"

#include "base/OSInfo.h"
#include "base/RegKey.h"
#include "logging/Log.h"

#include <vector>

// The typed reads and writes share one routine each; their lines are the operation's.
#define READ_LOG(level, ...) QEL_LOG_AS((level), L"PCReg.cpp", L"CPCReg::Read", __VA_ARGS__)
#define WRITE_LOG(level, ...) QEL_LOG_AS((level), L"PCReg.cpp", L"CPCReg::Write", __VA_ARGS__)

CPCReg::CPCReg() : CPCReg(Stratum::internal::CurrentProcessIsWow64()) {}

CPCReg::CPCReg(bool underWow64)
{
    // A 32-bit build on 64-bit Windows must still see the native keys that the
    // framework's 64-bit programs write, not their redirected 32-bit twins.
    if (underWow64) {
        QEL_LOG(LOG_NORMAL, L"I am 32 bit process %d", static_cast<int>(::GetCurrentProcessId()));
        m_viewFlags = KEY_WOW64_64KEY;
    }
}

template <typename Reader>
DWORD CPCReg::readValue(const std::wstring& key, const std::wstring& name, Reader read)
{
    Stratum::CRegKey reg;
    if (reg.Open(m_root, key.c_str(), KEY_READ | m_viewFlags) != ERROR_SUCCESS) {
        READ_LOG(LOG_WARNING, L"Cant open registry key: %s", key.c_str());
        return ERROR_CANTOPEN;
    }
    if (read(reg) != ERROR_SUCCESS) {
        READ_LOG(LOG_WARNING, L"Cant get registry value %s at key location %s", name.c_str(), key.c_str());
        return ERROR_CANTREAD;
    }
    return ERROR_SUCCESS;
}

// Each typed read fills a local first: the caller's output changes only on success.
DWORD CPCReg::Read(const std::wstring& key, const std::wstring& name, DWORD& out)
{
    return readValue(key, name, [&](Stratum::CRegKey& reg) {
        DWORD value = 0;
        const LONG rc = reg.QueryDWORDValue(name.c_str(), value);
        if (rc == ERROR_SUCCESS) out = value;
        return rc;
    });
}

DWORD CPCReg::Read(const std::wstring& key, const std::wstring& name, ULONGLONG& out)
{
    return readValue(key, name, [&](Stratum::CRegKey& reg) {
        ULONGLONG value = 0;
        const LONG rc = reg.QueryQWORDValue(name.c_str(), value);
        if (rc == ERROR_SUCCESS) out = value;
        return rc;
    });
}

DWORD CPCReg::Read(const std::wstring& key, const std::wstring& name, SharedBuffer& out)
{
    Stratum::CRegKey reg;
    if (reg.Open(m_root, key.c_str(), KEY_READ | m_viewFlags) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Cant open registry key: %s", key.c_str());
        return ERROR_CANTOPEN;
    }
    ULONG bytes = 0;
    if (reg.QueryBinaryValue(name.c_str(), nullptr, &bytes) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"REG-NOTFOUND: %s\\%s", key.c_str(), name.c_str());
        return ERROR_CANTREAD;
    }
    SharedBuffer buffer = MakeSharedBuffer(bytes);
    if (!buffer) return ERROR_CANTREAD;
    ZeroMemory(buffer.get(), bytes ? bytes : 1);
    out = buffer;
    if (reg.QueryBinaryValue(name.c_str(), buffer.get(), &bytes) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Cant get registry value %s at key location %s", name.c_str(), key.c_str());
        return ERROR_CANTREAD;
    }
    return ERROR_SUCCESS;
}

DWORD CPCReg::Read(const std::wstring& key, const std::wstring& name, std::wstring& out)
{
    return readValue(key, name, [&](Stratum::CRegKey& reg) {
        std::wstring value;
        const LONG rc = reg.QueryStringValue(name.c_str(), value);
        if (rc == ERROR_SUCCESS) out = value;
        return rc;
    });
}

DWORD CPCReg::WriteValues(const std::wstring& key, const StringMap& values)
{
    DWORD result = ERROR_SUCCESS;
    for (const auto& [name, value] : values) result |= Write(key, name, value);
    return result;
}

template <typename Writer>
DWORD CPCReg::writeValue(const std::wstring& key, const std::wstring& name, Writer write)
{
    Stratum::CRegKey reg;
    LONG rc = reg.Open(m_root, key.c_str(), KEY_WRITE | m_viewFlags);
    if (rc == ERROR_FILE_NOT_FOUND) {
        Stratum::CRegKey created;
        if (created.Create(m_root, key.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE | m_viewFlags) ==
            ERROR_SUCCESS) {
            created.Close();
        }
        rc = reg.Open(m_root, key.c_str(), KEY_WRITE | m_viewFlags);
    }
    if (rc != ERROR_SUCCESS) {
        WRITE_LOG(LOG_WARNING, L"Cant open registry key: %s", key.c_str());
        return ERROR_CANTOPEN;
    }
    if (write(reg) != ERROR_SUCCESS) {
        WRITE_LOG(LOG_WARNING, L"Cant write registry value %s at key location %s", name.c_str(), key.c_str());
        return ERROR_CANTWRITE;
    }
    return ERROR_SUCCESS;
}

DWORD CPCReg::Write(const std::wstring& key, const std::wstring& name, const std::wstring& value)
{
    return writeValue(key, name,
                      [&](Stratum::CRegKey& reg) { return reg.SetStringValue(name.c_str(), value.c_str(), REG_SZ); });
}

DWORD CPCReg::Write(const std::wstring& key, const std::wstring& name, DWORD value)
{
    return writeValue(key, name, [&](Stratum::CRegKey& reg) { return reg.SetDWORDValue(name.c_str(), value); });
}

DWORD CPCReg::Write(const std::wstring& key, const std::wstring& name, ULONGLONG value)
{
    return writeValue(key, name, [&](Stratum::CRegKey& reg) { return reg.SetQWORDValue(name.c_str(), value); });
}

DWORD CPCReg::DeleteValue(const std::wstring& key, const std::wstring& name)
{
    Stratum::CRegKey reg;
    if (reg.Open(m_root, key.c_str(), KEY_SET_VALUE | m_viewFlags) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Cant open registry key: %s", key.c_str());
        return ERROR_CANTOPEN;
    }
    return static_cast<DWORD>(reg.DeleteValue(name.c_str()));
}

DWORD CPCReg::NotifyChange(const std::wstring& key, DWORD /*ignored*/, HANDLE& event, bool async)
{
    Stratum::CRegKey reg;
    if (reg.Open(m_root, key.c_str(), KEY_QUERY_VALUE | KEY_NOTIFY | m_viewFlags) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Cant open registry key: %s", key.c_str());
        return ERROR_CANTOPEN;
    }
    return static_cast<DWORD>(reg.NotifyChangeKeyValue(TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, async ? TRUE : FALSE));
}

DWORD CPCReg::DeleteSubKey(const std::wstring& key, const std::wstring& subKey)
{
    Stratum::CRegKey reg;
    if (reg.Open(m_root, key.c_str(), KEY_SET_VALUE | m_viewFlags) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Cant open registry key: %s", key.c_str());
        return ERROR_CANTOPEN;
    }
    if (reg.DeleteSubKey(subKey.c_str()) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Cant open registry key: %s", key.c_str());
        return ERROR_CANTREAD;
    }
    return ERROR_SUCCESS;
}

DWORD CPCReg::EnumRegKeys(const std::wstring& key, StringList& out)
{
    Stratum::CRegKey reg;
    if (reg.Open(m_root, key.c_str(), KEY_ENUMERATE_SUB_KEYS | m_viewFlags) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Cant open registry key: %s", key.c_str());
        return ERROR_CANTOPEN;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[260];
        DWORD chars = 260;
        if (reg.EnumKey(index, name, &chars) != ERROR_SUCCESS) break;
        out.emplace_back(name, chars);
    }
    return ERROR_SUCCESS;
}

DWORD CPCReg::EnumRegKeyValues(const std::wstring& key, StringMap& out)
{
    Stratum::CRegKey reg;
    if (reg.Open(m_root, key.c_str(), KEY_READ | m_viewFlags) != ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"Cant open registry key: %s", key.c_str());
        return ERROR_CANTOPEN;
    }
    std::vector<wchar_t> name(4096);
    std::vector<BYTE> data(4096 + sizeof(wchar_t));
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = 4096;
        DWORD dataBytes = 4096;
        const LONG rc = ::RegEnumValueW(reg.Handle(), index, name.data(), &nameChars, nullptr, nullptr, data.data(),
                                        &dataBytes);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        // A value larger than the buffer is left out rather than stored cut
        // short; the walk goes on to the next one.
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        // The data as a wide string up to its first terminator (never past what was read).
        const size_t maxChars = dataBytes / sizeof(wchar_t);
        const auto* text = reinterpret_cast<const wchar_t*>(data.data());
        size_t len = 0;
        while (len < maxChars && text[len] != L'\0') ++len;
        out[std::wstring(name.data(), nameChars)] = std::wstring(text, len);
    }
    return ERROR_SUCCESS;
}

DWORD CPCReg::SetRootKey(HKEY root)
{
    m_root = root;
    return ERROR_SUCCESS;
}

HKEY CPCReg::GetRootKey() { return m_root; }
