#include "common/Platform.h"

#include "jobs/QELAutoDownload.h"

#include "datastore/QelPersistenceData.h"
#include "jobs/AttemptCount.h"
#include "jobs/JobServices.h"
#include "logging/Log.h"

#include <cstdlib>
#include <ctime>
#include <sstream>

namespace {
constexpr wchar_t kAutoDownloadTaskName[] = L"AutoDownload";
}  // namespace

DWORD SecondsSince(const std::wstring& storedTime, long long now)
{
    long long stored = 0;
    std::wistringstream stream(storedTime);
    stream >> stored;
    if (stream.fail()) stored = 0;
    const double difference = static_cast<double>(now) - static_cast<double>(stored);
    // Truncated toward zero, then kept to its low 32 bits.
    return static_cast<DWORD>(static_cast<long long>(difference));
}

SchedulerTaskRecord CQELAutoDownload::AutoDownloadTask(DWORD intervalInSec)
{
    return scheduler::JobTask(kAutoDownloadTaskName, L"AutoDownload task", L"/context=4", intervalInSec);
}

CQELAutoDownload::CQELAutoDownload() : CQELAutoDownload(std::make_shared<CJobServices>()) {}

CQELAutoDownload::CQELAutoDownload(std::shared_ptr<IJobServices> services)
    : CQELAutoDownload(services, services->IntegrationLibrary())
{
}

CQELAutoDownload::CQELAutoDownload(std::unique_ptr<CQELKrsIntegrate> integrate)
    : CQELAutoDownload(std::make_shared<CJobServices>(), std::move(integrate))
{
}

CQELAutoDownload::CQELAutoDownload(std::shared_ptr<IJobServices> services,
                                   std::unique_ptr<CQELKrsIntegrate> integrate)
    : m_services(std::move(services)), m_settings(m_services->Settings()), m_integrate(std::move(integrate))
{
}

CQELAutoDownload::~CQELAutoDownload() { m_integrate.reset(); }

DWORD CQELAutoDownload::ProcessJob()
{
    const DWORD check = preAutodownloadCheck();
    if (check != ERROR_SUCCESS) {
        QEL_LOG(LOG_INFORMATION, L"pre-autodownload check failure, cannot do autodownload.");
        return check;
    }
    InitiateAutoDownload();
    return ERROR_SUCCESS;
}

DWORD CQELAutoDownload::preAutodownloadCheck()
{
    if (!isInitialLaunchWaitElapsed()) {
        QEL_LOG(LOG_INFORMATION,
                L"First auto download check wait time is not lapsed, updating the task scheduler to launch after "
                L"initial wait time");
        sendEvent(L"Aborted", L"InitialLaunchTime not elapsed");
        RegisterScheduleAutoDownloadTask(0);
        return kStopRun;
    }
    DWORD attemptOver = 0;
    m_integrate->IsAutodownloadMaxAttemptOver(&attemptOver);
    if (attemptOver != 0) {
        QEL_LOG(LOG_INFORMATION, L"Autodownload max attempt reached, no more retry!");
        sendEvent(L"Failure", L"MaxAutoDownloadAttemptReached");
        DeleteAutoDownloadTask();
        return kStopRun;
    }
    return ERROR_SUCCESS;
}

bool CQELAutoDownload::isInitialLaunchWaitElapsed()
{
    std::wstring completedTime = L"0";
    m_services->Oobe().GetOobeParameter(L"completedtime", completedTime);
    // No recorded first-run completion: nothing to wait for.
    if (completedTime.empty() || completedTime == L"0") return true;

    DWORD wait = 0;
    m_settings.GetFirstAutoDownloadCheckWait(wait);
    if (wait == 0) return true;

    if (SecondsSince(completedTime, static_cast<long long>(std::time(nullptr))) >= wait) {
        QEL_LOG(LOG_NORMAL, L"CQELAutoDownload::isInitialLaunchWaitElapsed - Initial launch wait time elapsed.");
        return true;
    }
    return false;
}

void CQELAutoDownload::InitiateAutoDownload()
{
    sendEvent(L"Started", L"");
    m_integrate->RunKrsAutoDownload();
    const DWORD status = IsAutoDownloadCompleted();
    QEL_LOG(LOG_NORMAL, L"CQELAutoDownload::InitiateAutoDownload - IsAutoDownloadCompleted status : %d",
            static_cast<int>(status));
    sendEvent(L"Complete", L"");
    updateAutoDownloadCounter();
    if (status == 1) {
        OnAutoDownloadSuccess();
    } else {
        OnAutoDownloadFailure();
    }
}

bool CQELAutoDownload::IsAutoDownloadEnabled()
{
    IPersistenceCommonBuild& packages = m_services->Status();
    StringList ids;
    packages.GetPkgIDs(ids);
    bool enabled = false;
    for (const auto& id : ids) {
        std::wstring flag;
        if (packages.GetPkgParameter(id, L"AutoDownLoadFlag", flag) == ERROR_SUCCESS && flag == L"1") {
            enabled = true;
            break;
        }
    }
    QEL_LOG(LOG_INFORMATION, L"IsAutoDownloadEnabled status is %d.", enabled ? 1 : 0);
    return enabled;
}

DWORD CQELAutoDownload::IsAutoDownloadCompleted()
{
    DWORD completed = 0;
    m_integrate->IsKrsAutoDownloadCompleted(&completed);
    QEL_LOG(LOG_NORMAL, L"CQELAutoDownload::IsAutoDownloadCompleted - AutoDownloadCompleted status is %d.",
            static_cast<int>(completed));
    return completed;
}

DWORD CQELAutoDownload::updateAutoDownloadCounter()
{
    IPersistenceCommonBuild& status = m_services->Status();
    std::wstring stored = L"0";
    status.GetEntParameter(L"autodownloadcount", stored);
    const int count = attempt_count::Next(attempt_count::Parse(stored));
    QEL_LOG(LOG_NORMAL, L"Autodownload attempt count is:%d", count);
    return status.SetEntParameter(L"autodownloadcount", IntToString(count));
}

void CQELAutoDownload::OnAutoDownloadSuccess()
{
    sendEvent(L"Success", L"");
    if (m_services->Status().SetEntParameter(L"AutoDownloadComplete", L"1") == ERROR_SUCCESS) {
        DeleteAutoDownloadTask();
    } else {
        // The task stays, so a later run tries again.
        QEL_LOG(LOG_ERROR, L"CQELAutoDownload::OnSuccessfulAutoDownload() - Error writing AutoDownloadCompleted status "
                           L"to data storage.\n");
    }
}

void CQELAutoDownload::OnAutoDownloadFailure()
{
    sendEvent(L"Failure", L"");
    QEL_LOG(LOG_ERROR, L"CQELAutoDownload::OnAutoDownloadFailure - Autodownload failed!\n");
}

void CQELAutoDownload::RegisterScheduleAutoDownloadTask(DWORD /*unused*/)
{
    QEL_LOG(LOG_NORMAL, L"CQELAutoDownload::RegisterScheduleAutoDownloadTask() - Add/update Autodownload task with QEL "
                        L"scheduler.\n");
    DWORD interval = 14400;
    m_settings.GetAutoDownloadCheckFrequency(interval);
    const DWORD rc = m_services->AddTask(AutoDownloadTask(interval));
    if (rc == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"CQELAutoDownload::RegisterScheduleAutoDownloadTask - autodownload task is added "
                            L"successfully with QEL scheduler service");
    } else {
        QEL_LOG(LOG_ERROR, L"CQELAutoDownload::RegisterScheduleAutoDownloadTask : Adding Auto Download task failed "
                           L"with error code = %ld",
                static_cast<long>(rc));
    }
}

void CQELAutoDownload::DeleteAutoDownloadTask()
{
    const DWORD rc = m_services->DeleteTask(kAutoDownloadTaskName);
    if (rc == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"CQELAutoDownload::DeleteAutoDownloadTask : AutoDownload task has been removed from QEL "
                            L"Scheduler Service.\n");
    } else {
        QEL_LOG(LOG_ERROR, L"CQELAutoDownload::DeleteAutoDownloadTask : Deleting AutoDownload task failed with error "
                           L"code = %ld\n",
                static_cast<long>(rc));
    }
}

void CQELAutoDownload::sendEvent(const wchar_t* state, const wchar_t* data)
{
    m_services->SendEvent(L"AutoDownload", state, data);
}
