#include "common/Platform.h"

#include "config/QELConfig.h"

#include "logging/Log.h"

namespace {

std::wstring Join(const std::wstring& key, const std::wstring& subKey)
{
    return subKey.empty() ? key : key + L"\\" + subKey;
}

}  // namespace

DWORD CQELRegConfig::GetPartnerSetting(const std::wstring& name, std::wstring& out, const std::wstring& subKey)
{
    if (name.empty()) {
        QEL_LOG(LOG_ERROR, L"Invalid arguments");
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring affid;
    if (GetAffid(affid) != ERROR_SUCCESS) return ERROR_CANTREAD;

    // Affiliate "0" means no partner: the first read is made at HKLM itself.
    std::wstring keyPath;
    if (affid != L"0") GetPartnerKeyPath(affid, keyPath, subKey);
    if (m_reg.Read(keyPath, name, out) == ERROR_SUCCESS) return ERROR_SUCCESS;
    return GetOemSetting(name, subKey, out);
}

DWORD CQELRegConfig::GetAppsSetting(const std::wstring& application, const std::wstring& name, std::wstring& out,
                                    const std::wstring& subKey)
{
    if (application.empty() || name.empty()) {
        QEL_LOG(LOG_ERROR, L"Invalid arguments");
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring keyPath;
    GetAppsKeyPath(application, subKey, keyPath);
    if (m_reg.Read(keyPath, name, out) == ERROR_SUCCESS) return ERROR_SUCCESS;
    return ReadCoreValue(name, subKey, out);
}

DWORD CQELRegConfig::GetCoreSetting(const std::wstring& name, SharedBuffer& out, const std::wstring& subKey)
{
    if (name.empty()) {
        QEL_LOG(LOG_ERROR, L"Invalid arguments");
        return ERROR_INVALID_PARAMETER;
    }
    DWORD rc = ReadCoreBinaryValue(name, subKey, out);
    if (rc != ERROR_SUCCESS && !subKey.empty()) rc = ReadCoreBinaryValue(name, std::wstring(), out);
    return rc;
}

DWORD CQELRegConfig::GetCoreSetting(const std::wstring& name, std::wstring& out, const std::wstring& subKey)
{
    if (name.empty()) {
        QEL_LOG(LOG_ERROR, L"Invalid arguments");
        return ERROR_INVALID_PARAMETER;
    }
    DWORD rc = ReadCoreValue(name, subKey, out);
    if (rc != ERROR_SUCCESS && !subKey.empty()) rc = ReadCoreValue(name, std::wstring(), out);
    return rc;
}

DWORD CQELRegConfig::GetRootSetting(const std::wstring& name, std::wstring& out, const std::wstring& subKey)
{
    if (name.empty()) {
        QEL_LOG(LOG_ERROR, L"Invalid arguments");
        return ERROR_INVALID_PARAMETER;
    }
    DWORD rc = ReadRootValue(name, subKey, out);
    if (rc != ERROR_SUCCESS && !subKey.empty()) rc = ReadRootValue(name, std::wstring(), out);
    return rc;
}

DWORD CQELRegConfig::GetAffid(std::wstring& out)
{
    if (m_reg.Read(qelkeys::kPartnerRoot, L"Affid", out) == ERROR_SUCCESS) return ERROR_SUCCESS;
    return m_reg.Read(qelkeys::kCore, L"Affid", out);
}

DWORD CQELRegConfig::GetAllPartnerSettings(StringMap& out, const std::wstring& subKey)
{
    std::wstring affid;
    if (GetAffid(affid) != ERROR_SUCCESS) return ERROR_CANTREAD;
    std::wstring keyPath;
    GetPartnerKeyPath(affid, keyPath, subKey);
    return m_reg.EnumRegKeyValues(keyPath, out) == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_CANTREAD;
}

DWORD CQELRegConfig::GetPartnerKeyPath(const std::wstring& affid, std::wstring& out, const std::wstring& subKey)
{
    out = Join(std::wstring(qelkeys::kPartnerRoot) + L"\\" + affid, subKey);
    return ERROR_SUCCESS;
}

DWORD CQELRegConfig::GetPartnerRootKeyPath(std::wstring& out)
{
    out = qelkeys::kPartnerRoot;
    return ERROR_SUCCESS;
}

DWORD CQELRegConfig::GetRootKeyPath(const std::wstring& subKey, std::wstring& out)
{
    out = Join(qelkeys::kRoot, subKey);
    return ERROR_SUCCESS;
}

DWORD CQELRegConfig::GetCoreKeyPath(const std::wstring& subKey, std::wstring& out)
{
    out = Join(qelkeys::kCore, subKey);
    return ERROR_SUCCESS;
}

DWORD CQELRegConfig::GetOemKeyPath(const std::wstring& subKey, std::wstring& out)
{
    out = Join(qelkeys::kOem, subKey);
    return ERROR_SUCCESS;
}

DWORD CQELRegConfig::GetAppsKeyPath(const std::wstring& application, const std::wstring& subKey, std::wstring& out)
{
    out = Join(std::wstring(qelkeys::kApps) + L"\\" + application, subKey);
    return ERROR_SUCCESS;
}

DWORD CQELRegConfig::GetOemSetting(const std::wstring& name, const std::wstring& subKey, std::wstring& out)
{
    if (m_reg.Read(qelkeys::kOem, name, out) == ERROR_SUCCESS) return ERROR_SUCCESS;
    return ReadCoreValue(name, subKey, out);
}

DWORD CQELRegConfig::ReadRootValue(const std::wstring& name, const std::wstring& subKey, std::wstring& out)
{
    std::wstring keyPath;
    GetRootKeyPath(subKey, keyPath);
    DWORD rc = m_reg.Read(keyPath, name, out);
    if (rc != ERROR_SUCCESS && !subKey.empty()) rc = m_reg.Read(qelkeys::kRoot, name, out);
    return rc;
}

DWORD CQELRegConfig::ReadCoreBinaryValue(const std::wstring& name, const std::wstring& subKey, SharedBuffer& out)
{
    std::wstring keyPath;
    GetCoreKeyPath(subKey, keyPath);
    DWORD rc = m_reg.Read(keyPath, name, out);
    if (rc != ERROR_SUCCESS && !subKey.empty()) rc = m_reg.Read(qelkeys::kCore, name, out);
    return rc;
}

DWORD CQELRegConfig::ReadCoreValue(const std::wstring& name, const std::wstring& subKey, std::wstring& out)
{
    std::wstring keyPath;
    GetCoreKeyPath(subKey, keyPath);
    DWORD rc = m_reg.Read(keyPath, name, out);
    if (rc != ERROR_SUCCESS && !subKey.empty()) rc = m_reg.Read(qelkeys::kCore, name, out);
    return rc;
}
