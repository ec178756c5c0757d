#include "common/Platform.h"

#include "app/JobFactory.h"
#include "jobs/BUninstallTask.h"
#include "jobs/QELAutoDownload.h"
#include "jobs/QELKRSDownload.h"
#include "logging/Log.h"
#include "process/TrustAnchors.h"

#include <algorithm>
#include <climits>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace job_dispatch {

int ParseContextId(std::wstring& commandLine)
{
    if (commandLine.empty()) return 0;

    size_t begin = 0;
    size_t end = commandLine.size();
    while (begin < end && std::iswspace(commandLine[begin])) ++begin;
    while (end > begin && std::iswspace(commandLine[end - 1])) --end;
    commandLine = commandLine.substr(begin, end - begin);
    for (auto& c : commandLine) c = static_cast<wchar_t>(std::towlower(c));

    std::vector<std::wstring> pieces;
    size_t start = 0;
    for (;;) {
        const size_t equals = commandLine.find(L'=', start);
        pieces.push_back(commandLine.substr(start, equals - start));
        if (equals == std::wstring::npos) break;
        start = equals + 1;
    }
    if (pieces.size() < 2 || pieces[0] != L"/context") return 0;
    return ContextNumber(pieces[1]);
}

// Leading blanks, an optional sign, digits up to the first non-digit. Only
// 0-9 are digits: the runtime's number reading would also take look-alikes
// (fullwidth or Arabic-Indic digits) for a job's number. A number too large
// for 32 bits stands at the nearest end of the range, as the runtime's does.
int ContextNumber(const std::wstring& text)
{
    size_t at = 0;
    while (at < text.size() && std::iswspace(text[at])) ++at;
    const bool negative = at < text.size() && text[at] == L'-';
    if (at < text.size() && (text[at] == L'-' || text[at] == L'+')) ++at;
    long long value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        value = std::min(value * 10 + (text[at] - L'0'), 1LL << 31);
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp(value, static_cast<long long>(INT_MIN), static_cast<long long>(INT_MAX)));
}

}  // namespace job_dispatch

std::shared_ptr<ICBJobs> CJobFactory::GetJobObject(std::wstring commandLine)
{
    std::shared_ptr<ICBJobs> job;
    switch (job_dispatch::ParseContextId(commandLine)) {
        case 2: job = std::make_shared<CQELKRSDownload>(); break;
        case 4: job = std::make_shared<CQELAutoDownload>(); break;
        case 5: job = std::make_shared<CBUninstallTask>(); break;
        default: QEL_LOG(LOG_ERROR, L"Invalid context id."); break;
    }
    if (!job) {
        QEL_LOG(LOG_ERROR, L"Bad command line, there are no jobs which matches the commadnline. cmd:%s",
                commandLine.c_str());
    }
    return job;
}

bool CQELCBSingleInstance::CreateInstance(HANDLE& handle)
{
    handle = ::CreateMutexW(nullptr, TRUE, kMutexName);
    if (!handle) {
        QEL_LOG(LOG_ERROR,
                L"Failed to Create/Open QELCommonBuild mutex. ErrorCode: %d. May be another instance of "
                L"QELCommonBuild is already runnning.",
                static_cast<int>(::GetLastError()));
        return false;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        QEL_LOG(LOG_INFORMATION, L"Another instance of QELCommonBuild is already runnning.");
        ::CloseHandle(handle);
        handle = nullptr;
        return false;
    }
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

    HANDLE instance = nullptr;
    if (CQELCBSingleInstance::CreateInstance(instance)) {
        std::shared_ptr<ICBJobs> job = CJobFactory::GetJobObject(std::wstring(commandLine ? commandLine : L""));
        if (job) {
            QEL_LOG(LOG_INFORMATION, L"Processing the job:%s", commandLine ? commandLine : L"");
            job->ProcessJob();
            job.reset();
        }
    }
    // Closing the owning handle ends the ownership; no explicit release.
    if (instance) ::CloseHandle(instance);
    return 0;
}
