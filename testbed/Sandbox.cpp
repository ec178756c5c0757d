#include "common/Platform.h"

#include "testbed/Sandbox.h"

#include "config/PCReg.h"
#include "config/QELConfig.h"
#include "config/QELSettings.h"
#include "datastore/QelPersistenceData.h"
#include "jobs/QELAutoDownload.h"
#include "jobs/QELKRSDownload.h"
#include "logging/Logging.h"
#include "scheduler/QelSchedulerTaskMgr.h"
#include "testbed/StandinSupport.h"

#include <shlobj.h>

#include <ctime>

namespace sandbox {
namespace {

constexpr wchar_t kTelemetryServerKey[] =
    L"SOFTWARE\\Classes\\CLSID\\{B62A9F7D-4F97-4740-9EEE-3554F2AD2E4B}\\InprocServer32";
constexpr wchar_t kSuiteUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RVN";
constexpr wchar_t kInstallerKey[] = L"SOFTWARE\\Tarsen\\TsInst\\InstallSettings";

// Copies the file `name` of folder `from` into folder `to`, under the name `as` when given.
bool Copy(const std::wstring& from, const std::wstring& to, const wchar_t* name, std::wstring& error,
          const wchar_t* as = nullptr)
{
    const std::wstring source = from + L"\\" + name;
    if (::CopyFileW(source.c_str(), (to + L"\\" + (as ? as : name)).c_str(), FALSE)) return true;
    error = L"cannot copy " + source + L" (error " + std::to_wstring(::GetLastError()) + L")";
    return false;
}

}  // namespace

std::wstring LogFolder()
{
    return ETWLogging::CLogging::GetProgramDataFolder() + L"\\Tarsen\\TSLOGS\\QEL\\QELCommonBuild";
}

std::wstring DataStoreFolder() { return ETWLogging::CLogging::GetProgramDataFolder() + L"\\Tarsen\\QEL"; }

void SetSetting(const std::wstring& name, const std::wstring& value, const std::wstring& affid)
{
    CPCReg().Write(std::wstring(qelkeys::kPartnerRoot) + L"\\" + affid, name, value);
}

void SetSuiteAnswers(DWORD autoDownloadCompleted, DWORD attemptLimitReached)
{
    CPCReg reg;
    reg.Write(standin::kKrsIntegrateKey, L"AutoDownloadCompleted", autoDownloadCompleted);
    reg.Write(standin::kKrsIntegrateKey, L"MaxAttemptOver", attemptLimitReached);
}

std::wstring ProvisionDefaultInstallation(const Options& o)
{
    std::wstring error;
    CPCReg reg;
    DWORD rc = ERROR_SUCCESS;

    // The programs: the job runner and the suite's and telemetry's stand-ins beside it.
    ::SHCreateDirectoryExW(nullptr, o.installDir.c_str(), nullptr);
    for (const wchar_t* name : {L"QELCommonBuild.exe", L"QELKrsIntegrate.dll", L"ZEPClient.dll", L"ForeignScan.dll"}) {
        if (!Copy(o.programsFrom, o.installDir, name, error)) return error;
    }
    for (const wchar_t* companion : {L"QELUpdater.exe", L"QELHelper.exe"}) {
        if (!Copy(o.programsFrom, o.installDir, L"companion.exe", error, companion)) return error;
    }
    rc |= reg.Write(kTelemetryServerKey, L"", o.installDir + L"\\ZEPClient.dll");
    rc |= reg.Write(kTelemetryServerKey, L"ThreadingModel", std::wstring(L"Both"));

    // Settings: an affiliate with its partner key, telemetry on, the data store's folder.
    const std::wstring partner = std::wstring(qelkeys::kPartnerRoot) + L"\\" + o.affid;
    rc |= reg.Write(qelkeys::kPartnerRoot, L"Affid", o.affid);
    rc |= reg.Write(partner, L"ZepInstru", std::wstring(L"1"));
    rc |= reg.Write(partner, L"ZepInstruAppID", std::wstring(L"QEL-SANDBOX-0001"));
    rc |= reg.Write(partner, L"softwaretag", std::wstring(L"SANDBOX-TAG"));
    rc |= reg.Write(partner, L"resellerid", std::wstring(L"R-0042"));
    rc |= reg.Write(partner, L"FirstAutoDownloadCheckWait", std::to_wstring(o.firstAutoDownloadCheckWait));
    rc |= reg.Write(partner, L"AutoDownloadCheckFrequency", std::to_wstring(o.autoDownloadCheckFrequency));
    // The suite download: switched on, first run after 30 minutes, retries every 3 hours; the
    // framework goes with the suite; the user accepted the EULA.
    rc |= reg.Write(partner, L"DownloadQelKrs", std::wstring(L"1"));
    rc |= reg.Write(partner, L"FirstKrsDownloadWait", std::wstring(L"1800"));
    rc |= reg.Write(partner, L"DownloadQelKrsFrequency", std::wstring(L"10800"));
    rc |= reg.Write(partner, L"UninstallWhenKRSUninstalled", std::wstring(L"1"));
    rc |= reg.Write(partner, L"jeula", std::wstring(L"1"));
    rc |= reg.Write(qelkeys::kRoot, L"CoreInstallDir", o.installDir);
    rc |= reg.Write(std::wstring(qelkeys::kApps) + L"\\GCB", L"InstallPath", o.installDir);
    rc |= reg.Write(qelkeys::kCore, L"DBPath", DataStoreFolder());
    ::SHCreateDirectoryExW(nullptr, DataStoreFolder().c_str(), nullptr);

    // The suite answers "not completed, limit not reached" until told otherwise. Before it is
    // installed, the updater installs it and its post-install signal follows; no other
    // vendor's product is found.
    if (o.start == Start::SuiteInstalled) {
        rc |= reg.Write(kSuiteUninstallKey, L"DisplayName", std::wstring(L"KRS Security Suite"));
        rc |= reg.Write(kSuiteUninstallKey, L"DisplayVersion", std::wstring(L"21.3.10.391"));
    } else {
        reg.DeleteSubKey(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", L"RVN");
    }
    SetSuiteAnswers(0, 0);
    const std::wstring updater = std::wstring(standin::kTestbedKey) + L"QELUpdater";
    rc |= reg.Write(updater, L"InstallsSuite", DWORD{1});
    rc |= reg.Write(updater, L"SignalAfter", DWORD{500});
    rc |= reg.Write(standin::kForeignScanKey, L"Answer", DWORD{0});

    // File logging: the value, the folder, and what each line carries.
    rc |= reg.Write(L"SOFTWARE\\Tarsen\\Logging", L"Logging Mechanism", DWORD{1});
    ::SHCreateDirectoryExW(nullptr, LogFolder().c_str(), nullptr);
    const std::wstring ini = LogFolder() + L"\\log.ini";
    ::WritePrivateProfileStringW(L"Config", L"Options", std::to_wstring(o.logOptions).c_str(), ini.c_str());
    ::WritePrivateProfileStringW(L"Config", L"Severity", std::to_wstring(o.logSeverity).c_str(), ini.c_str());

    // The common installer in its own folder (the companion stand-in in its role "tsinst").
    if (!o.installerDir.empty()) {
        rc |= reg.Write(kInstallerKey, L"Install Dir", o.installerDir);
        ::SHCreateDirectoryExW(nullptr, o.installerDir.c_str(), nullptr);
        if (!o.installerBuild.empty() &&
            !Copy(o.programsFrom, o.installerDir, o.installerBuild.c_str(), error, L"tsinst.exe")) {
            return error;
        }
    }

    // The scheduler key exists where the job runner may write it.
    std::wstring schedulerKey = scheduler::kSchedulerKey;
    schedulerKey.pop_back();
    if (o.administrative) rc |= reg.Write(schedulerKey, L"Owner", std::wstring(L"QEL scheduler service"));
    if (rc != ERROR_SUCCESS) return L"cannot write the installation's registry values";

    // The data store: first run completed, one package marked for auto-download.
    SharedBuffer key;
    if (reg.Read(qelkeys::kCore, L"DataStore", key) != ERROR_SUCCESS) {
        return L"no data store key (HKLM\\SOFTWARE\\Tarsen\\QEL\\CORE \"DataStore\"): run qelstore keygen first";
    }
    CQelPersistenceData store;
    IPersistenceOobeEula& oobe = store;
    IPersistenceCommonBuild& packages = store;
    if (oobe.InitializeDatabase() != ERROR_SUCCESS) return L"cannot write the data store";
    oobe.SetOobeState(1);
    if (o.completedSecondsAgo >= 0) {
        const long long completed = static_cast<long long>(std::time(nullptr)) - o.completedSecondsAgo;
        oobe.SetOobeParameter(L"completedtime", std::to_wstring(completed));
    }
    packages.SetPkgParameter(L"KRS-FULL", L"AutoDownLoadFlag", o.autoDownloadFlag);

    // The task the machine starts with, as the framework's installer (or, later, the
    // integration with the suite) registers it.
    DWORD firstWait = 1800;
    CQELSettings(std::make_shared<CQELRegConfig>()).GetFirstKrsDownloadWait(firstWait);
    SchedulerTaskRecord task = o.start == Start::Preinstalled
                                   ? CQELKRSDownload::KrsDownloadTask(firstWait)
                                   : CQELAutoDownload::AutoDownloadTask(o.autoDownloadCheckFrequency);
    task.Path = o.installDir + L"\\QELCommonBuild.exe";
    if (o.registerStartTask) {
        if (CQelScheduleTaskMgr(0).AddTask(task) != ERROR_SUCCESS) return L"cannot register the task " + task.Name;
    }
    return std::wstring();
}

}  // namespace sandbox
