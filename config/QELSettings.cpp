#include "common/Platform.h"

#include "config/QELSettings.h"

#include "base/RegKey.h"

#include <cstdlib>

CQELSettings::CQELSettings(std::shared_ptr<CQELRegConfig> config) : m_config(std::move(config)) {}

DWORD CQELSettings::GetCoreInstallDir(std::wstring& out)
{
    return m_config->GetRootSetting(L"CoreInstallDir", out, std::wstring());
}

DWORD CQELSettings::GetPartnerInstallDir(std::wstring& out)
{
    return m_config->GetRootSetting(L"PartnerInstallDir", out, std::wstring());
}

DWORD CQELSettings::GetPartnerInstallDirForAffid(std::wstring& out)
{
    std::wstring affid;
    if (m_config->GetAffid(affid) != ERROR_SUCCESS) return ERROR_CANTREAD;
    std::wstring dir;
    const DWORD rc = m_config->GetRootSetting(L"PartnerInstallDir", dir, std::wstring());
    if (rc == ERROR_SUCCESS) out = dir + L"\\" + affid;
    return rc;
}

DWORD CQELSettings::GetDBPath(std::wstring& out)
{
    m_config->GetCoreSetting(L"DBPath", out, std::wstring());
    out += L"\\";
    out += kDataStoreFileName;
    return ERROR_SUCCESS;
}

DWORD CQELSettings::GetDataStore(SharedBuffer& out) { return m_config->GetCoreSetting(L"DataStore", out, std::wstring()); }

DWORD CQELSettings::GetAffid(std::wstring& out) { return m_config->GetAffid(out); }

DWORD CQELSettings::GetPartnerGuid(std::wstring& out) { return GetStringSetting(L"PartnerGuid", out, std::wstring(out)); }

DWORD CQELSettings::GetZepInstruAppID(std::wstring& out)
{
    return GetStringSetting(L"ZepInstruAppID", out, std::wstring(out));
}

DWORD CQELSettings::GetSchedulerBootWaitInSec(DWORD& out) { return GetNumberSetting(L"SchedulerBootWaitInSec", out, 5); }

DWORD CQELSettings::GetSchedulerPostOobeWaitInSec(DWORD& out)
{
    return GetNumberSetting(L"SchedulerPostOobeWaitInSec", out, 5);
}

DWORD CQELSettings::GetFirstProductUpdateWait(DWORD& out) { return GetNumberSetting(L"FirstProductUpdateWait", out, 1200); }

DWORD CQELSettings::GetProductUpdateFrequency(DWORD& out)
{
    return GetNumberSetting(L"ProductUpdateFrequency", out, 86400);
}

DWORD CQELSettings::GetFirstAlertWait(DWORD& out) { return GetNumberSetting(L"FirstAlertWait", out, 14400); }

DWORD CQELSettings::GetAlertFrequency(DWORD& out) { return GetNumberSetting(L"AlertFrequency", out, 14400); }

DWORD CQELSettings::GetFirstAutoDownloadCheckWait(DWORD& out)
{
    return GetNumberSetting(L"FirstAutoDownloadCheckWait", out, 1200);
}

DWORD CQELSettings::GetAutoDownloadCheckFrequency(DWORD& out)
{
    return GetNumberSetting(L"AutoDownloadCheckFrequency", out, 14400);
}

DWORD CQELSettings::GetMaxAutoDownloadAttempts(DWORD& out) { return GetNumberSetting(L"MaxAutoDownloadAttempts", out, 10); }

DWORD CQELSettings::GetMaxKrsDownloadAttempts(DWORD& out) { return GetNumberSetting(L"MaxKrsDownloadAttempts", out, 20); }

DWORD CQELSettings::GetFirstKrsDownloadWait(DWORD& out) { return GetNumberSetting(L"FirstKrsDownloadWait", out, 1800); }

DWORD CQELSettings::GetDownloadQelKrsFrequency(DWORD& out)
{
    return GetNumberSetting(L"DownloadQelKrsFrequency", out, 10800);
}

DWORD CQELSettings::GetUninstallWhenKRSUninstalled(DWORD& out)
{
    return GetFlagSetting(L"UninstallWhenKRSUninstalled", out, 0);
}

DWORD CQELSettings::GetUninstallOnTPSoftwareDetection(DWORD& out)
{
    return GetFlagSetting(L"UninstallOnTPSoftwareDetection", out, 0);
}

DWORD CQELSettings::GetCommonBuild(DWORD& out) { return GetFlagSetting(L"commonbuild", out, 0); }

DWORD CQELSettings::GetDownloadQelKrs(DWORD& out) { return GetFlagSetting(L"DownloadQelKrs", out, 0); }

DWORD CQELSettings::GetSetting(const std::wstring& name, std::wstring& out)
{
    return GetStringSetting(name, out, std::wstring());
}

DWORD CQELSettings::GetSetting(const std::wstring& name, DWORD& out) { return GetNumberSetting(name, out, 0); }

DWORD CQELSettings::GetAllPartnerSettings(StringMap& out) { return m_config->GetAllPartnerSettings(out, std::wstring()); }

DWORD CQELSettings::GetAppInstallPath(const std::wstring& application, std::wstring& out)
{
    return m_config->GetAppsSetting(application, L"InstallPath", out, std::wstring());
}

DWORD CQELSettings::GetJeula(DWORD& out) { return GetNumberSetting(L"jeula", out, 0); }

DWORD CQELSettings::GetOemMode(DWORD& out) { return GetNumberSetting(L"oemmode", out, 0); }

DWORD CQELSettings::GetStringSetting(const std::wstring& name, std::wstring& out, const std::wstring& defaultValue)
{
    std::wstring text;
    const DWORD rc = m_config->GetPartnerSetting(name, text, std::wstring());
    out = text.empty() ? defaultValue : text;
    return rc;
}

DWORD CQELSettings::GetFlagSetting(const std::wstring& name, DWORD& out, DWORD defaultValue)
{
    return GetNumberSetting(name, out, defaultValue);
}

DWORD CQELSettings::GetNumberSetting(const std::wstring& name, DWORD& out, DWORD defaultValue)
{
    std::wstring text;
    const DWORD rc = m_config->GetPartnerSetting(name, text, std::wstring());
    // Leading blanks, an optional sign, digits up to the first non-digit; no
    // digits give 0; a negative number is kept as its two's complement.
    out = text.empty() ? defaultValue : static_cast<DWORD>(_wtoi(text.c_str()));
    return rc;
}

namespace {
constexpr wchar_t kInstallerKey[] = L"SOFTWARE\\Tarsen\\TsInst\\InstallSettings";
constexpr wchar_t kUpdateUtilityKey[] = L"SOFTWARE\\Tarsen\\Kelda\\InstallSettings";
constexpr wchar_t kRvnQueryParamsKey[] = L"SOFTWARE\\Tarsen\\RVN\\AppInfo\\Substitute\\QueryParams";
constexpr wchar_t kRvnUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RVN";
}  // namespace

CKrsSetting::CKrsSetting(std::shared_ptr<CPCReg> reg) : m_reg(reg ? std::move(reg) : std::make_shared<CPCReg>()) {}

DWORD CKrsSetting::GetInstallerDir(std::wstring& out) { return m_reg->Read(kInstallerKey, L"Install Dir", out); }

DWORD CKrsSetting::GetInstallerPath(std::wstring& out)
{
    std::wstring dir;
    if (GetInstallerDir(dir) != ERROR_SUCCESS) return ERROR_CANTREAD;
    out = dir + L"\\" + L"tsinst.exe";
    return ERROR_SUCCESS;
}

DWORD CKrsSetting::GetUpdateUtilityDir(std::wstring& out)
{
    return m_reg->Read(kUpdateUtilityKey, L"Install Dir", out);
}

DWORD CKrsSetting::GetUpdateUtilityPath(std::wstring& out)
{
    std::wstring dir;
    if (GetUpdateUtilityDir(dir) != ERROR_SUCCESS) return ERROR_CANTREAD;
    out = dir + L"\\" + L"tsupdutl.exe";
    return ERROR_SUCCESS;
}

DWORD CKrsSetting::GetRvnAffid(std::wstring& out) { return m_reg->Read(kRvnQueryParamsKey, L"affid", out); }

bool IsTestMode()
{
    CPCReg reg;
    std::wstring value = L"0";
    reg.Read(qelkeys::kRoot, L"testmode", value);
    return value == L"1";
}

bool IsRvnInstalled(CPCReg& reg)
{
    std::wstring name;
    return reg.Read(kRvnUninstallKey, L"DisplayName", name) == ERROR_SUCCESS;
}

bool IsRvnInstalledQuietly()
{
    Stratum::CRegKey key;
    std::wstring name;
    return key.Open(HKEY_LOCAL_MACHINE, kRvnUninstallKey, KEY_READ | CPCReg().ViewFlags()) == ERROR_SUCCESS &&
           key.QueryStringValue(L"DisplayName", name) == ERROR_SUCCESS;
}

DWORD GetRvnVersion(std::wstring& out, CPCReg& reg)
{
    if (!IsRvnInstalled(reg)) return ERROR_FUNCTION_FAILED;
    return reg.Read(kRvnUninstallKey, L"DisplayVersion", out) == ERROR_SUCCESS ? ERROR_SUCCESS
                                                                                : ERROR_FUNCTION_FAILED;
}

std::wstring GetSystemLocaleName()
{
    wchar_t name[85];
    if (::GetSystemDefaultLocaleName(name, 85) == 0) return std::wstring();
    return name;
}

std::wstring IntToString(int value)
{
    wchar_t text[20];
    if (_itow_s(value, text, 20, 10) != 0) return std::wstring();
    return text;
}
