// Context 5, and the framework's removal wherever it is asked for: the common
// installer "tsinst.exe" uninstalls the framework; this program only builds
// the installer's command line and starts it. When the installer starts, this
// process ends at once (the installer is about to remove its file); when it
// does not, the task "QelUninstall" brings the job back an hour later.
#pragma once

#include "jobs/ICBJobs.h"
#include "scheduler/QelSchedulerConfig.h"

#include <memory>
#include <string>

class IJobServices;

class CBUninstallTask : public ICBJobs {
public:
    // With the program's services.
    CBUninstallTask();
    explicit CBUninstallTask(std::shared_ptr<IJobServices> services);

    // Runs CQELCbHelper::UninstallQel; does not return when the installer starts.
    DWORD ProcessJob() override;

private:
    std::shared_ptr<IJobServices> m_services;
};

// Each operation without services uses the program's.
class CQELCbHelper {
public:
    // Starts the installer for the framework ("GCB") and ends the process with
    // exit code 0 through the runtime's normal exit; nothing after the call
    // runs then. Otherwise registers the task "QelUninstall" and returns the
    // code of the failed start.
    static DWORD UninstallQel();
    static DWORD UninstallQel(IJobServices& services);
    // Adds (or replaces) the task "QelUninstall".
    static void AddUninstallerScheduler();
    static void AddUninstallerScheduler(IJobServices& services);
    // The record of the task "QelUninstall": this program with "/context=5", every hour.
    static SchedulerTaskRecord UninstallTask();
};

namespace QEL {

// The application whose installer uninstalls the framework.
inline constexpr wchar_t kFrameworkAppId[] = L"GCB";

// Starts "<Install Dir>\tsinst.exe /uninstall /longpath "<InstallPath>"" after
// its signature check, without waiting for it: 0 once it has started, 87 when
// the application's install path cannot be read or holds a quotation mark or
// a line break (it could not arrive as one argument), 1012 when the installer's
// folder cannot be read, else the launcher's result.
DWORD UninstallQEL(const std::wstring& appId);
DWORD UninstallQEL(IJobServices& services, const std::wstring& appId);

}  // namespace QEL
