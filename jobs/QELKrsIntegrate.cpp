#include "common/Platform.h"

#include "jobs/QELKrsIntegrate.h"

#include "common/LibraryLoader.h"
#include "logging/Log.h"

namespace {

// The exports take no argument or one pointer to a 32-bit output, and return a 32-bit result.
using PlainExport = DWORD(WINAPI*)();
using OutputExport = DWORD(WINAPI*)(DWORD*);

// What a call returns when it never reached the library: not loaded (6), or
// loaded without the export (1).
constexpr DWORD kNotLoaded = ERROR_INVALID_HANDLE;
constexpr DWORD kNoExport = 1;

template <typename Fn>
Fn As(FARPROC proc)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

}  // namespace

CQELKrsIntegrate::CQELKrsIntegrate() : m_folder(ProgramFolder()) {}

CQELKrsIntegrate::CQELKrsIntegrate(std::wstring folder) : m_folder(std::move(folder)) {}

bool CQELKrsIntegrate::LoadDLL()
{
    if (m_module) return true;
    m_module.Reset(LoadLibraryAbsolute(m_folder + kLibraryName));
    if (!m_module) {
        const DWORD error = ::GetLastError();  // before the log call, which may touch the registry
        QEL_LOG(LOG_ERROR, L"Failed to load KrsIntegration DLL. Error code = %d", error);
        return false;
    }
    return true;
}

FARPROC CQELKrsIntegrate::lookUp(const char* exportName) { return ::GetProcAddress(m_module.Get(), exportName); }

DWORD CQELKrsIntegrate::AddQelIntoRvnQueryparam()
{
    if (!LoadDLL()) return kNotLoaded;
    const FARPROC proc = lookUp("AddQelIntoRvnQueryparam");
    if (!proc) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"AddQelIntoRvnQueryparam : Error in GetProcAddress:: Error Code %d", error);
        return kNoExport;
    }
    return As<PlainExport>(proc)();
}

DWORD CQELKrsIntegrate::UpdateOobeDoneState()
{
    if (!LoadDLL()) return kNotLoaded;
    const FARPROC proc = lookUp("UpdateOobeDoneState");
    if (!proc) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"UpdateOobeDoneState : Error in GetProcAddress:: Error Code %d", error);
        return kNoExport;
    }
    return As<PlainExport>(proc)();
}

DWORD CQELKrsIntegrate::UpdateJEulaAcceptance()
{
    if (!LoadDLL()) return kNotLoaded;
    const FARPROC proc = lookUp("UpdateJEulaAcceptance");
    if (!proc) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"UpdateJEulaAcceptance : Error in GetProcAddress:: Error Code %d", error);
        return kNoExport;
    }
    return As<PlainExport>(proc)();
}

DWORD CQELKrsIntegrate::RunKrsAutoDownload()
{
    if (!LoadDLL()) return kNotLoaded;
    const FARPROC proc = lookUp("RunKrsAutoDownload");
    if (!proc) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"RunKrsAutoDownload : Error in GetProcAddress:: Error Code %d", error);
        return kNoExport;
    }
    return As<PlainExport>(proc)();
}

DWORD CQELKrsIntegrate::IsKrsAutoDownloadCompleted(DWORD* completed)
{
    if (!LoadDLL()) return kNotLoaded;
    const FARPROC proc = lookUp("IsKrsAutoDownloadCompleted");
    if (!proc) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"IsKrsAutoDownloadCompleted : Error in GetProcAddress:: Error Code %d", error);
        return kNoExport;
    }
    return As<OutputExport>(proc)(completed);
}

DWORD CQELKrsIntegrate::IsAutodownloadMaxAttemptOver(DWORD* attemptOver)
{
    if (!LoadDLL()) return kNotLoaded;
    const FARPROC proc = lookUp("IsAutodownloadMaxAttemptOver");
    if (!proc) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"Error in GetProcAddress 'IsAutodownloadMaxAttemptOver': Error Code %d", error);
        return kNoExport;
    }
    return As<OutputExport>(proc)(attemptOver);
}
