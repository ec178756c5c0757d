#include "common/Platform.h"

#include "jobs/QELKRSDownload.h"

#include "common/UniqueHandle.h"
#include "config/QELSettings.h"
#include "datastore/QelPersistenceData.h"
#include "jobs/AttemptCount.h"
#include "jobs/BUninstallTask.h"
#include "jobs/JobServices.h"
#include "jobs/QELAutoDownload.h"
#include "logging/Log.h"

#include <sddl.h>

#include <algorithm>
#include <cwchar>

namespace {

constexpr wchar_t kKrsDownloadTaskName[] = L"KRSDownload";
constexpr wchar_t kCountKey[] = L"krsdownloadcount";
constexpr DWORD kHelperWaitMs = 15 * 60 * 1000;

}  // namespace

SchedulerTaskRecord CQELKRSDownload::KrsDownloadTask(DWORD intervalInSec)
{
    return scheduler::JobTask(kKrsDownloadTaskName, L"KRSDownload task", L"/context=2", intervalInSec);
}

CQELKRSDownload::CQELKRSDownload() : CQELKRSDownload(std::make_shared<CJobServices>()) {}

CQELKRSDownload::CQELKRSDownload(std::shared_ptr<IJobServices> services)
    : m_services(std::move(services)), m_integrate(m_services->IntegrationLibrary())
{
}

CQELKRSDownload::~CQELKRSDownload() { m_integrate.reset(); }

DWORD CQELKRSDownload::ProcessJob()
{
    InitiateKRSDownload();
    return ERROR_SUCCESS;
}

bool CQELKRSDownload::InitiateKRSDownload()
{
    QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::InitiateKRSDownload() - Initiate the krs download by validating 3rd Party "
                        L"Product installed check.\n");
    // Every reason to stop ends here, an installed suite included (after its integration).
    if (preKrsdownloadCheck() != ERROR_SUCCESS) {
        QEL_LOG(LOG_INFORMATION, L"pre-Krsdownload check failure, cannot continue with Krs Download.");
        sendEvent(L"Aborted", L"Pre Krsdownload check failed.");
        return true;
    }

    sendEvent(L"Started", L"");
    if (LaunchQELUpdater() != ERROR_SUCCESS) {
        // Not counted as an attempt; the task stays as it is for the scheduler's next run.
        QEL_LOG(LOG_ERROR, L"CQELKRSDownload::InitiateKRSDownload() - Failed to Launch QelKrs download, we will retry "
                           L"later.");
        return false;
    }
    WaitforKrsInstallComplete();
    sendEvent(L"Complete", L"");
    updateKrsDownloadCounter();

    if (IsKRSInstalled() == 1) {
        QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::InitiateKRSDownload() - KRSDownload task has been completed "
                            L"successfully!");
        OnSuccessfulKRSDownload();
    } else {
        AddKRSDownloadTask(0);
        QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::InitiateKRSDownload() - Re-attaching krsdownlod task for retry.");
    }
    return true;
}

DWORD CQELKRSDownload::preKrsdownloadCheck()
{
    if (IsKRSInstalled() == 1) {
        QEL_LOG(LOG_NORMAL, L"KRS is already installed in this machine. So no need to install again.");
        OnSuccessfulKRSDownload();
        return kStopRun;
    }
    if (IsAny3rdPartyProductInstalled()) {
        QEL_LOG(LOG_INFORMATION, L"3rd Party Product installed in this machine, Cannot continue with krsdownload.");
        sendEvent(L"Aborted", L"3rdParty Product Detected");
        actionOn3rdPartyDetection();
        return kStopRun;
    }
    if (isMaxKrsDownloadAttemptReached()) {
        QEL_LOG(LOG_INFORMATION, L"Krs download max attempt reached, no more retry!");
        sendEvent(L"Failure", L"MaxKrsDownloadAttemptReached");
        DeleteKRSDownloadTask();
        return kStopRun;
    }
    return ERROR_SUCCESS;
}

DWORD CQELKRSDownload::AddKRSDownloadTask(DWORD intervalInSec)
{
    QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::EnableKRSDownload() - Add KRS download task with QEL scheduler.\n");
    CQELSettings settings = m_services->Settings();
    DWORD enabled = 0;
    settings.GetFlagSetting(L"DownloadQelKrs", enabled, 0);
    if (enabled == 0) {
        QEL_LOG(LOG_INFORMATION, L"QelKrs download is not enabled, no need to add a krsdownload task in schduler.");
        return ERROR_SUCCESS;
    }
    if (intervalInSec == 0) settings.GetNumberSetting(L"DownloadQelKrsFrequency", intervalInSec, 10800);

    const DWORD rc = m_services->AddTask(KrsDownloadTask(intervalInSec));
    if (rc == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::EnableKRSDownload - KRSDownload task has been added successfully with "
                            L"scheduler service!");
    } else {
        QEL_LOG(LOG_ERROR,
                L"CQELKRSDownload::EnableKRSDownload : Adding KRS Download task failed with error code = %ld",
                static_cast<long>(rc));
    }
    return rc;
}

void CQELKRSDownload::DeleteKRSDownloadTask()
{
    const DWORD rc = m_services->DeleteTask(kKrsDownloadTaskName);
    if (rc == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::DeleteKRSDownloadTask : KRSDownload task has been removed from QEL "
                            L"Scheduler Service.\n");
    } else {
        QEL_LOG(LOG_ERROR, L"CQELKRSDownload::DeleteKRSDownloadTask : Deleting KRSDownload task failed with error "
                           L"code = %ld\n",
                static_cast<long>(rc));
    }
}

DWORD CQELKRSDownload::IsKRSInstalled()
{
    const DWORD installed = m_services->IsSuiteInstalled() ? 1 : 0;
    QEL_LOG(LOG_INFORMATION, L"KRS install status : %d", static_cast<int>(installed));
    return installed;
}

bool CQELKRSDownload::IsAny3rdPartyProductInstalled()
{
    // Freed when this returns, after its answer is logged.
    const std::unique_ptr<CForeignScan> scanner = m_services->ForeignScanner();
    if (!scanner->Load()) {
        QEL_LOG(LOG_ERROR, L"CQELKRSDownload::IsAny3rdPartyProductInstalled : Load library failed");
        return false;
    }
    BYTE answer = 0;
    DWORD error = 0;
    if (!scanner->Ask(answer, error)) {
        QEL_LOG(LOG_ERROR, L"CQELKRSDownload::IsAny3rdPartyProductInstalled : Error in GetProcAddress:: Error %d",
                static_cast<int>(error));
        return false;
    }
    // Only the value 1 means "found".
    const bool found = answer == 1;
    QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::IsAny3rdPartyProductInstalled - Status of 3rdPartyProductInstalled is %d",
            found ? 1 : 0);
    return found;
}

void CQELKRSDownload::actionOn3rdPartyDetection()
{
    DWORD uninstall = 0;
    m_services->Settings().GetFlagSetting(L"UninstallOnTPSoftwareDetection", uninstall, 0);
    QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::actionOn3rdPartyDetection - CheckUninstallIf3rdPartyDetection returns %d",
            static_cast<int>(uninstall));
    // Ends this process when the installer starts; otherwise its retry task is registered.
    if (uninstall == 1) CQELCbHelper::UninstallQel(*m_services);
}

DWORD CQELKRSDownload::LaunchQELUpdater()
{
    const DWORD result =
        m_services->RunCompanion(companionPath(L"QELUpdater.exe"), L"/Install:qelkrs", m_services->Waits().updaterMs);
    QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::LaunchQELUpdater - return value of Run() = %d", static_cast<int>(result));
    return result;
}

void CQELKRSDownload::WaitforKrsInstallComplete()
{
    // The suite's post-install work (LocalSystem or an administrator) may wait
    // on it and set it; nobody but LocalSystem may re-secure it.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)(A;;0x120002;;;BA)", SDDL_REVISION_1,
                                                           &descriptor, nullptr);
    ScopedLocalMem descriptorHeld(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    // Opened when the suite already made it: a signal set before this run got here still counts.
    ScopedHandle event(::CreateEventW(descriptor ? &attributes : nullptr, TRUE, FALSE, kPostInstallEventName));
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (!event) {
        QEL_LOG(LOG_CRITICAL, L"Failed to Create the event EVENT_QELKRS_POSTINSTALL.");
        // The name is held by something this run cannot wait on (anyone may
        // make an object of another kind under it): no reason to stop waiting.
        waitForSuiteEntry();
        return;
    }
    std::wstring owner;
    if (existed && m_services->Owners().OwnerOf(event.Get(), owner) == ObjectOwner::Other) {
        QEL_LOG(LOG_ERROR, L"The event EVENT_QELKRS_POSTINSTALL belongs to %s, neither LocalSystem nor an "
                           L"administrator: it is ignored",
                owner.c_str());
        event.Reset();
        waitForSuiteEntry();
        return;
    }
    QEL_LOG(LOG_INFORMATION, L"Waiting for Krs install completion...");
    const DWORD result = ::WaitForSingleObject(event.Get(), m_services->Waits().postInstallMs);
    QEL_LOG(LOG_INFORMATION, L"WaitForSingleObject completed with the result : %d", static_cast<int>(result));
    ::ResetEvent(event.Get());
}

void CQELKRSDownload::waitForSuiteEntry()
{
    QEL_LOG(LOG_INFORMATION, L"Waiting for Krs install completion: for the suite's uninstall entry (DisplayName)...");
    const JobWaits& waits = m_services->Waits();
    const ULONGLONG start = ::GetTickCount64();
    bool installed = m_services->IsSuiteInstalledQuietly();
    for (ULONGLONG waited = 0; !installed && waited < waits.postInstallMs; waited = ::GetTickCount64() - start) {
        ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(waits.entryPollMs, waits.postInstallMs - waited)));
        installed = m_services->IsSuiteInstalledQuietly();
    }
    QEL_LOG(LOG_INFORMATION, L"The suite's uninstall entry %s", installed ? L"is there" : L"did not appear in time");
}

int CQELKRSDownload::getKrsDownloadCount()
{
    std::wstring stored = L"0";
    m_services->Status().GetEntParameter(kCountKey, stored);
    return attempt_count::Parse(stored);
}

bool CQELKRSDownload::isMaxKrsDownloadAttemptReached()
{
    DWORD limit = 20;
    m_services->Settings().GetNumberSetting(L"MaxKrsDownloadAttempts", limit, 20);
    // Compared unsigned: a negative stored count is beyond any limit.
    return limit <= static_cast<DWORD>(getKrsDownloadCount());
}

DWORD CQELKRSDownload::updateKrsDownloadCounter()
{
    const int count = attempt_count::Next(getKrsDownloadCount());
    QEL_LOG(LOG_INFORMATION, L"KrsDownload attempt count is:%d", count);
    return m_services->Status().SetEntParameter(kCountKey, IntToString(count));
}

void CQELKRSDownload::OnSuccessfulKRSDownload()
{
    sendEvent(L"Success", L"");
    QEL_LOG(LOG_NORMAL, L"OnSuccessfulKRSDownload actions...");

    QEL_LOG(LOG_NORMAL, L"Updating QEL data store with krsdownloadcomplete=1.");
    if (m_services->Status().SetEntParameter(L"KRSDownloadComplete", L"1") != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"CQELKRSDownload::OnSuccessfulKRSDownload - Error writing KRSDownloadCompleted status to "
                           L"data storage. We are not aborting still continuing.");
    }

    // The suite's answers are not needed: each call logs its own failure.
    QEL_LOG(LOG_NORMAL, L"Adding QEL=1 under RVN query param.");
    m_integrate->AddQelIntoRvnQueryparam();
    QEL_LOG(LOG_NORMAL, L"Updating OOBE Done state in RVN.");
    m_integrate->UpdateOobeDoneState();

    QEL_LOG(LOG_NORMAL, L"Updating jeula state in RVN.");
    DWORD jeula = 0;
    if (m_services->Settings().GetJeula(jeula) == ERROR_SUCCESS) {
        QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::OnSuccessfulKRSDownload() - JEula state = %d", static_cast<int>(jeula));
    } else {
        QEL_LOG(LOG_ERROR, L"CQELKRSDownload::OnSuccessfulKRSDownload() - Failed to read JEula state.");
    }
    if (jeula == 1) m_integrate->UpdateJEulaAcceptance();

    QEL_LOG(LOG_NORMAL, L"Registering QEL with krs custom uninstall if configured.");
    RegisterQelWithKrsUninstall();

    {
        CQELAutoDownload autoDownload(m_services);
        if (autoDownload.IsAutoDownloadEnabled()) {
            QEL_LOG(LOG_NORMAL, L"Adding autodownload task.");
            autoDownload.RegisterScheduleAutoDownloadTask(0);
        } else {
            QEL_LOG(LOG_INFORMATION, L"Autodownload is disabled in QEL, cannot add autodownload task");
        }
    }

    QEL_LOG(LOG_NORMAL, L"OnSuccessfulKRSDownload action complete. Deleting krs download task from scheduler.");
    DeleteKRSDownloadTask();
}

void CQELKRSDownload::RegisterQelWithKrsUninstall()
{
    DWORD together = 0;
    m_services->Settings().GetFlagSetting(L"UninstallWhenKRSUninstalled", together, 0);
    QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::RegisterQelWithKrsUninstall - CheckUninstallWithKRS returns %d",
            static_cast<int>(together));
    if (together == 0) return;
    QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::RegisterQelWithKrsUninstall - QEL is configured to be uninstalled with "
                        L"KRS. Registering with krs custom_uninstall.");

    const std::wstring path = companionPath(L"QELHelper.exe");
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        QEL_LOG(LOG_ERROR, L"CQELKRSDownload::RegisterQelWithKrsUninstall - File not found, file:%s. Cannot register "
                           L"with KRS custom_uninstall.",
                path.c_str());
        return;
    }
    const DWORD result = m_services->RunCompanion(path, L"/RegisterAppidWithKRS:GCB", kHelperWaitMs);
    QEL_LOG(LOG_NORMAL, L"CQELKRSDownload::RegisterQelWithKrsUninstall - return value of Run() = %d",
            static_cast<int>(result));
}

std::wstring CQELKRSDownload::companionPath(const wchar_t* fileName)
{
    std::wstring folder;
    m_services->Settings().GetCoreInstallDir(folder);
    return folder + L"\\" + fileName;
}

void CQELKRSDownload::sendEvent(const wchar_t* state, const wchar_t* data)
{
    m_services->SendEvent(L"KrsDownload", state, data);
}
