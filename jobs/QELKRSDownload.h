// Context 2: bring the KRS suite onto the machine. While the task
// "KRSDownload" exists the scheduler runs this job; each run is one attempt:
// it decides whether the suite still has to be installed (not installed yet,
// no other vendor's security product, attempt limit not reached), starts the
// framework's updater and waits for it, waits for the suite's post-install
// signal, counts the attempt, and then either ties the framework to the
// installed suite (OnSuccessfulKRSDownload) or registers the task again for a
// retry.
#pragma once

#include "jobs/ICBJobs.h"
#include "jobs/QELKrsIntegrate.h"
#include "scheduler/QelSchedulerConfig.h"

#include <memory>
#include <string>

class IJobServices;

class CQELKRSDownload : public ICBJobs {
public:
    // With the program's services.
    CQELKRSDownload();
    explicit CQELKRSDownload(std::shared_ptr<IJobServices> services);
    ~CQELKRSDownload();

    // Always 0, whatever the run did.
    DWORD ProcessJob() override;

    // False only when the updater was not run successfully.
    bool InitiateKRSDownload();
    // 0: go ahead; 50: the run stops here (the suite is installed, another
    // vendor's product is present, or the attempt limit is reached).
    DWORD preKrsdownloadCheck();
    // Registers "KRSDownload" to repeat every `intervalInSec` seconds (0: the
    // retry interval "DownloadQelKrsFrequency"); nothing when "DownloadQelKrs"
    // is off. The scheduler's result (0 when nothing was to be done).
    DWORD AddKRSDownloadTask(DWORD intervalInSec);
    void DeleteKRSDownloadTask();
    // 1 when the suite's uninstall entry names it, else 0.
    DWORD IsKRSInstalled();
    // The answer of "ForeignScan.dll" beside the program; a missing library or
    // export is no product found.
    bool IsAny3rdPartyProductInstalled();
    // Uninstalls the framework when "UninstallOnTPSoftwareDetection" is 1.
    void actionOn3rdPartyDetection();
    // The updater's exit code, 259 when it outlives the wait, or the
    // launcher's error (87: its signature was refused).
    DWORD LaunchQELUpdater();
    // Waits for the suite's post-install event; the outcome does not matter.
    // An event that already exists is believed only from LocalSystem or an
    // administrator (any user may make one first, already set); else, and
    // when no event can be had, the wait is for the suite's uninstall entry.
    void WaitforKrsInstallComplete();
    int getKrsDownloadCount();
    bool isMaxKrsDownloadAttemptReached();
    // The data store write's status.
    DWORD updateKrsDownloadCounter();
    // Ties the framework to the installed suite; no step stops the sequence.
    void OnSuccessfulKRSDownload();
    // Starts "QELHelper.exe" when the framework is to go with the suite.
    void RegisterQelWithKrsUninstall();

    // The record of the task "KRSDownload" with the given interval.
    static SchedulerTaskRecord KrsDownloadTask(DWORD intervalInSec);

    // Set by the suite when its post-install work is done; a name in the
    // session's own namespace.
    static constexpr wchar_t kPostInstallEventName[] = L"9A842862-3445-41BC-BD77-F655B8E850AC";

private:
    void sendEvent(const wchar_t* state, const wchar_t* data);
    // Polls the suite's uninstall entry ("DisplayName") for the post-install wait.
    void waitForSuiteEntry();
    // "CoreInstallDir" + "\" + the companion's file name.
    std::wstring companionPath(const wchar_t* fileName);

    std::shared_ptr<IJobServices> m_services;
    // The suite integration library, loaded by the integration's first call.
    std::unique_ptr<CQELKrsIntegrate> m_integrate;
};
