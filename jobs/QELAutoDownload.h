// Context 4: once the suite is installed, ask it (through its integration
// library) to run its own auto-download of the full product, after an initial
// wait that follows the first-run experience. The task "AutoDownload" keeps
// bringing the job back until the suite reports completion or its own
// attempt limit.
#pragma once

#include "config/QELSettings.h"
#include "jobs/ICBJobs.h"
#include "jobs/QELKrsIntegrate.h"
#include "scheduler/QelSchedulerConfig.h"

#include <memory>
#include <string>

class IJobServices;

class CQELAutoDownload : public ICBJobs {
public:
    // With the program's services.
    CQELAutoDownload();
    explicit CQELAutoDownload(std::shared_ptr<IJobServices> services);
    // The program's services with an integration library wrapper of the caller's.
    explicit CQELAutoDownload(std::unique_ptr<CQELKrsIntegrate> integrate);
    CQELAutoDownload(std::shared_ptr<IJobServices> services, std::unique_ptr<CQELKrsIntegrate> integrate);
    ~CQELAutoDownload();

    // 50 when the pre-check stops the run, else 0.
    DWORD ProcessJob() override;

    DWORD preAutodownloadCheck();
    bool isInitialLaunchWaitElapsed();
    // Adds or updates the task "AutoDownload"; the argument is not used.
    void RegisterScheduleAutoDownloadTask(DWORD unused);
    void DeleteAutoDownloadTask();
    void InitiateAutoDownload();
    bool IsAutoDownloadEnabled();
    DWORD IsAutoDownloadCompleted();
    DWORD updateAutoDownloadCounter();
    void OnAutoDownloadSuccess();
    void OnAutoDownloadFailure();

    // The record of the task "AutoDownload" with the given interval.
    static SchedulerTaskRecord AutoDownloadTask(DWORD intervalInSec);

private:
    void sendEvent(const wchar_t* state, const wchar_t* data);

    // Declared in this order: the library is freed before the settings go.
    std::shared_ptr<IJobServices> m_services;
    CQELSettings m_settings;
    std::unique_ptr<CQELKrsIntegrate> m_integrate;
};

// Seconds from a stored time (decimal seconds since 1970, read like a wide
// stream reads a 64-bit number: text that is not a number is 0) to `now`,
// truncated to an unsigned 32-bit count. A time in the future wraps around
// to a large count.
DWORD SecondsSince(const std::wstring& storedTime, long long now);
