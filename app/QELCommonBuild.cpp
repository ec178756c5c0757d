#include "common/Platform.h"

#include "app/QELCommonBuild.h"

#include "app/ContextNumber.h"
#include "app/InstanceObjects.h"
#include "common/UniqueHandle.h"
#include "jobs/BUninstallTask.h"
#include "jobs/JobFactory.h"
#include "jobs/JobServices.h"
#include "jobs/QELAutoDownload.h"
#include "jobs/QELKRSDownload.h"
#include "logging/Log.h"
#include "trust/TrustAnchors.h"

std::shared_ptr<ICBJobs> CJobFactory::GetJobObject(std::wstring commandLine)
{
    std::shared_ptr<ICBJobs> job;
    switch (job_dispatch::ParseContextId(commandLine)) {
        // Each job with the program's services: the machine itself.
        case 2: job = std::make_shared<CQELKRSDownload>(std::make_shared<CJobServices>()); break;
        case 4: job = std::make_shared<CQELAutoDownload>(std::make_shared<CJobServices>()); break;
        case 5: job = std::make_shared<CBUninstallTask>(std::make_shared<CJobServices>()); break;
        default: QEL_LOG(LOG_ERROR, L"Invalid context id."); break;
    }
    if (!job) {
        QEL_LOG(LOG_ERROR, L"Bad command line, there are no jobs which matches the commadnline. cmd:%s",
                commandLine.c_str());
    }
    return job;
}

namespace {

// The run's mutex under the private instance name.
bool CreatePrivateInstance(HANDLE& handle, CInstanceObjects& objects)
{
    bool existed = false;
    ScopedHandle mutex;
    const DWORD rc = objects.CreatePrivateMutex(*mutex.Put(), existed);
    handle = nullptr;
    if (rc != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR,
                L"Failed to Create/Open the private QELCommonBuild mutex. ErrorCode: %d. The job does not run.",
                static_cast<int>(rc));
        return false;
    }
    if (existed) {
        QEL_LOG(LOG_INFORMATION, L"Another instance of QELCommonBuild is already runnning.");
        return false;
    }
    handle = mutex.Release();
    return true;
}

}  // namespace

bool CQELCBSingleInstance::CreateInstance(HANDLE& handle)
{
    // Holds the private namespace, when one is taken, until the process ends.
    static CInstanceObjects objects;
    return CreateInstance(handle, objects);
}

bool CQELCBSingleInstance::CreateInstance(HANDLE& handle, CInstanceObjects& objects)
{
    ScopedHandle mutex(::CreateMutexW(nullptr, TRUE, kMutexName));
    handle = nullptr;
    if (!mutex) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR,
                L"Failed to Create/Open QELCommonBuild mutex. ErrorCode: %d. May be another instance of "
                L"QELCommonBuild is already runnning.",
                static_cast<int>(error));
        // An object of another kind, or one that keeps this account out, is
        // never the program's own mutex (which lets LocalSystem in).
        if (error != ERROR_INVALID_HANDLE && error != ERROR_ACCESS_DENIED) return false;
        QEL_LOG(LOG_ERROR, L"The name %s is held by an object that is not the program's mutex; the job runs under the "
                           L"private instance name",
                kMutexName);
        return CreatePrivateInstance(handle, objects);
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        std::wstring owner;
        if (objects.OwnerOf(mutex.Get(), owner) == ObjectOwner::Other) {
            QEL_LOG(LOG_ERROR, L"The mutex %s belongs to %s, neither LocalSystem nor an administrator: it is no other "
                               L"instance; the job runs under the private instance name",
                    kMutexName, owner.c_str());
            mutex.Reset();
            return CreatePrivateInstance(handle, objects);
        }
        QEL_LOG(LOG_INFORMATION, L"Another instance of QELCommonBuild is already runnning.");
        return false;
    }
    // A copy that met a squatter which has since let go runs under the private name.
    if (objects.PrivateInstanceRuns()) {
        QEL_LOG(LOG_INFORMATION, L"Another instance of QELCommonBuild is already runnning.");
        return false;
    }
    handle = mutex.Release();
    return true;
}

bool InitializeSecureDllLoading()
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return false;
    auto setDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    return setDirectories && setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) == 1;
}

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    if (!InitializeSecureDllLoading()) {
        QEL_LOG(LOG_ERROR, L"Failed to Initialize Secure DLL Loading, KB2533623 might not be installed, continue.");
    }

    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&InitializeSecureDllLoading), &self);
    SetLoggerStartupValues(L"QEL", nullptr, self, 0, 0);
    // A build that trusts the test PKI, whose private keys anyone can read,
    // says so first, where a support engineer looks.
    if (trust_anchors::kBuiltForTestPki) QEL_LOG(LOG_INFORMATION, L"%s", trust_anchors::kTestPkiNotice);
    QEL_LOG(LOG_INFORMATION, L"Starting Qel commonbuild application..");

    CInstanceObjects instanceObjects;
    // Closed when the run ends (before the private namespace goes): closing
    // the owning handle ends the ownership; no explicit release.
    ScopedHandle instance;
    if (CQELCBSingleInstance::CreateInstance(*instance.Put(), instanceObjects)) {
        std::shared_ptr<ICBJobs> job = CJobFactory::GetJobObject(std::wstring(commandLine ? commandLine : L""));
        if (job) {
            QEL_LOG(LOG_INFORMATION, L"Processing the job:%s", commandLine ? commandLine : L"");
            job->ProcessJob();
            job.reset();
        }
    }
    return 0;
}
