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

// Every export has one shape: load the library on first use, look the export
// up by name, call it. A missing export is logged as the wrapper the caller
// called, with that wrapper's own text.
template <typename Fn, typename... Args>
DWORD CQELKrsIntegrate::callExport(const char* exportName, const wchar_t* wrapper,
                                   WideFormatString<DWORD> missingExportFormat, Args... args)
{
    if (!LoadDLL()) return kNotLoaded;
    const FARPROC proc = lookUp(exportName);
    if (!proc) {
        const DWORD error = ::GetLastError();
        QEL_LOG_AS(LOG_ERROR, L"QELKrsIntegrate.cpp", wrapper, missingExportFormat, error);
        return kNoExport;
    }
    return As<Fn>(proc)(args...);
}

DWORD CQELKrsIntegrate::AddQelIntoRvnQueryparam()
{
    return callExport<PlainExport>("AddQelIntoRvnQueryparam", L"CQELKrsIntegrate::AddQelIntoRvnQueryparam",
                                   L"AddQelIntoRvnQueryparam : Error in GetProcAddress:: Error Code %d");
}

DWORD CQELKrsIntegrate::UpdateOobeDoneState()
{
    return callExport<PlainExport>("UpdateOobeDoneState", L"CQELKrsIntegrate::UpdateOobeDoneState",
                                   L"UpdateOobeDoneState : Error in GetProcAddress:: Error Code %d");
}

DWORD CQELKrsIntegrate::UpdateJEulaAcceptance()
{
    return callExport<PlainExport>("UpdateJEulaAcceptance", L"CQELKrsIntegrate::UpdateJEulaAcceptance",
                                   L"UpdateJEulaAcceptance : Error in GetProcAddress:: Error Code %d");
}

DWORD CQELKrsIntegrate::RunKrsAutoDownload()
{
    return callExport<PlainExport>("RunKrsAutoDownload", L"CQELKrsIntegrate::RunKrsAutoDownload",
                                   L"RunKrsAutoDownload : Error in GetProcAddress:: Error Code %d");
}

DWORD CQELKrsIntegrate::IsKrsAutoDownloadCompleted(DWORD* completed)
{
    return callExport<OutputExport>("IsKrsAutoDownloadCompleted", L"CQELKrsIntegrate::IsKrsAutoDownloadCompleted",
                                    L"IsKrsAutoDownloadCompleted : Error in GetProcAddress:: Error Code %d", completed);
}

DWORD CQELKrsIntegrate::IsAutodownloadMaxAttemptOver(DWORD* attemptOver)
{
    return callExport<OutputExport>("IsAutodownloadMaxAttemptOver", L"CQELKrsIntegrate::IsAutodownloadMaxAttemptOver",
                                    L"Error in GetProcAddress 'IsAutodownloadMaxAttemptOver': Error Code %d",
                                    attemptOver);
}
