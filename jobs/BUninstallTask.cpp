#include "common/Platform.h"

#include "jobs/BUninstallTask.h"

#include "config/QELSettings.h"
#include "jobs/JobServices.h"
#include "logging/Log.h"

CBUninstallTask::CBUninstallTask() : CBUninstallTask(std::make_shared<CJobServices>()) {}

CBUninstallTask::CBUninstallTask(std::shared_ptr<IJobServices> services) : m_services(std::move(services)) {}

DWORD CBUninstallTask::ProcessJob() { return CQELCbHelper::UninstallQel(*m_services); }

DWORD CQELCbHelper::UninstallQel()
{
    CJobServices services;
    return UninstallQel(services);
}

DWORD CQELCbHelper::UninstallQel(IJobServices& services)
{
    const DWORD rc = QEL::UninstallQEL(services, QEL::kFrameworkAppId);
    if (rc == ERROR_SUCCESS) {
        QEL_LOG(LOG_INFORMATION, L"QelUninstaller Launch success, Exiting the process.");
        // The installer removes this program's own files: end now, leaving the
        // job and the single-instance mutex to the system's process exit.
        services.EndProcess();
    }
    QEL_LOG(LOG_ERROR, L"Failed to launch QelUninstaller, adding an uninstaller schduler. error:%d",
            static_cast<int>(rc));
    AddUninstallerScheduler(services);
    return rc;
}

SchedulerTaskRecord CQELCbHelper::UninstallTask()
{
    return scheduler::JobTask(L"QelUninstall", L"Uninstall task", L"/context=5", 3600);
}

void CQELCbHelper::AddUninstallerScheduler()
{
    CJobServices services;
    AddUninstallerScheduler(services);
}

void CQELCbHelper::AddUninstallerScheduler(IJobServices& services)
{
    const DWORD rc = services.AddTask(UninstallTask());
    if (rc != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Failed to update Uninstall task, error:%ld", static_cast<long>(rc));
    }
}

DWORD QEL::UninstallQEL(const std::wstring& appId)
{
    CJobServices services;
    return UninstallQEL(services, appId);
}

DWORD QEL::UninstallQEL(IJobServices& services, const std::wstring& appId)
{
    // The identifier is not part of this line.
    QEL_LOG(LOG_NORMAL, L"Uninstall QEL. Appid: ");

    std::wstring installPath;
    if (services.Settings().GetAppInstallPath(appId, installPath) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Cant get uninstall inf for appid %s", appId.c_str());
        return ERROR_INVALID_PARAMETER;
    }
    // One argument equal to the path, read back by the platform's rules
    // (CommandLineToArgvW, the C runtime): the backslashes before the closing
    // quotation mark doubled, or they would escape it. A quotation mark or a
    // line break has no safe form there: such a path is never handed on.
    if (installPath.find_first_of(L"\"\r\n") != std::wstring::npos) {
        QEL_LOG(LOG_ERROR, L"The install path of %s holds a quotation mark or a line break; not handed to the installer",
                appId.c_str());
        return ERROR_INVALID_PARAMETER;
    }
    const size_t trailing = installPath.size() - (installPath.find_last_not_of(L'\\') + 1);
    const std::wstring quotedPath = L"\"" + installPath + std::wstring(trailing, L'\\') + L"\"";

    std::wstring installerDir;
    if (services.GetInstallerDir(installerDir) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Cant get tsinst uninstall path");
        return ERROR_CANTREAD;
    }

    // Signature check first, started as this process, not waited for.
    const DWORD rc =
        services.RunCompanion(installerDir + L"\\tsinst.exe", L"/uninstall /longpath " + quotedPath, std::nullopt);
    if (rc != ERROR_SUCCESS) QEL_LOG(LOG_ERROR, L"Error when tryng to uninstall QEL");
    return rc;
}
