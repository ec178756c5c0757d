// The typed settings the jobs read: one getter per setting with its value name
// and built-in default, so that a machine without settings runs on defaults.
// Settings are REG_SZ text, numbers included.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"
#include "config/PCReg.h"
#include "config/QELConfig.h"

#include <memory>
#include <string>

class CQELSettings {
public:
    explicit CQELSettings(std::shared_ptr<CQELRegConfig> config);
    virtual ~CQELSettings() = default;

    virtual DWORD GetCoreInstallDir(std::wstring& out);
    virtual DWORD GetPartnerInstallDir(std::wstring& out);
    virtual DWORD GetPartnerInstallDirForAffid(std::wstring& out);
    // The "DBPath" folder + "\qeldata.dat", appended to whatever `out` held; always 0.
    virtual DWORD GetDBPath(std::wstring& out);
    // The data store key blob (its consumer knows the length).
    virtual DWORD GetDataStore(SharedBuffer& out);
    virtual DWORD GetAffid(std::wstring& out);
    virtual DWORD GetPartnerGuid(std::wstring& out);
    virtual DWORD GetZepInstruAppID(std::wstring& out);
    virtual DWORD GetSchedulerBootWaitInSec(DWORD& out);
    virtual DWORD GetSchedulerPostOobeWaitInSec(DWORD& out);
    virtual DWORD GetFirstProductUpdateWait(DWORD& out);
    virtual DWORD GetProductUpdateFrequency(DWORD& out);
    virtual DWORD GetFirstAlertWait(DWORD& out);
    virtual DWORD GetAlertFrequency(DWORD& out);
    virtual DWORD GetFirstAutoDownloadCheckWait(DWORD& out);
    virtual DWORD GetAutoDownloadCheckFrequency(DWORD& out);
    virtual DWORD GetMaxAutoDownloadAttempts(DWORD& out);
    virtual DWORD GetMaxKrsDownloadAttempts(DWORD& out);
    virtual DWORD GetFirstKrsDownloadWait(DWORD& out);
    virtual DWORD GetDownloadQelKrsFrequency(DWORD& out);
    virtual DWORD GetUninstallWhenKRSUninstalled(DWORD& out);
    virtual DWORD GetUninstallOnTPSoftwareDetection(DWORD& out);
    virtual DWORD GetCommonBuild(DWORD& out);
    virtual DWORD GetDownloadQelKrs(DWORD& out);
    virtual DWORD GetSetting(const std::wstring& name, std::wstring& out);
    virtual DWORD GetSetting(const std::wstring& name, DWORD& out);
    virtual DWORD GetAllPartnerSettings(StringMap& out);
    virtual DWORD GetAppInstallPath(const std::wstring& application, std::wstring& out);
    virtual DWORD GetJeula(DWORD& out);
    virtual DWORD GetOemMode(DWORD& out);
    // The generic getters behind every typed one: the partner -> OEM -> core
    // look-up, then the text (or the default when it is empty or missing).
    virtual DWORD GetStringSetting(const std::wstring& name, std::wstring& out, const std::wstring& defaultValue);
    virtual DWORD GetFlagSetting(const std::wstring& name, DWORD& out, DWORD defaultValue);
    virtual DWORD GetNumberSetting(const std::wstring& name, DWORD& out, DWORD defaultValue);

    static constexpr wchar_t kDataStoreFileName[] = L"qeldata.dat";

private:
    std::shared_ptr<CQELRegConfig> m_config;
};

// Where the suite's own tools and query parameters live.
class CKrsSetting {
public:
    explicit CKrsSetting(std::shared_ptr<CPCReg> reg);
    virtual ~CKrsSetting() = default;

    virtual DWORD GetInstallerDir(std::wstring& out);
    virtual DWORD GetInstallerPath(std::wstring& out);
    virtual DWORD GetUpdateUtilityDir(std::wstring& out);
    virtual DWORD GetUpdateUtilityPath(std::wstring& out);
    virtual DWORD GetRvnAffid(std::wstring& out);

private:
    std::shared_ptr<CPCReg> m_reg;
};

// "testmode" = "1" at the root key (nothing else counts).
bool IsTestMode();
// The installed suite's uninstall entry has a "DisplayName".
bool IsRvnInstalled(CPCReg& reg);
// The same, asked without a log line (for a caller that asks again and again).
bool IsRvnInstalledQuietly();
// Its "DisplayVersion"; 1627 when the suite is not installed or has none.
DWORD GetRvnVersion(std::wstring& out, CPCReg& reg);
std::wstring GetSystemLocaleName();
std::wstring IntToString(int value);
