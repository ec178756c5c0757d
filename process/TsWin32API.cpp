#include "common/Platform.h"

#include "process/TsWin32API.h"

#include "common/LibraryLoader.h"

namespace {

// The system folder's copy of `name` ("\kernel32.dll"), by its full path: a
// library of the same name beside the program or in the current folder is
// never the one loaded. Without the system folder the path has no drive and
// the loader refuses it.
HMODULE LoadSystemLibrary(const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = L"";
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) folder[0] = L'\0';
    return LoadLibraryAbsolute(std::wstring(folder) + name);
}

template <typename Fn>
void LookUp(const ScopedModule& module, const char* name, Fn& fn)
{
    fn = module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module.Get(), name))) : nullptr;
}

}  // namespace

bool CTsWin32API::Load()
{
    if (m_loaded) return true;

    // Whatever an earlier attempt left is let go before loading again.
    for (ScopedModule* module : {&m_kernel32, &m_advapi32, &m_wtsapi32, &m_user32, &m_psapi}) module->Reset();
    m_kernel32.Reset(LoadSystemLibrary(L"\\kernel32.dll"));
    m_advapi32.Reset(LoadSystemLibrary(L"\\advapi32.dll"));
    m_wtsapi32.Reset(LoadSystemLibrary(L"\\wtsapi32.dll"));
    m_user32.Reset(LoadSystemLibrary(L"\\user32.dll"));
    m_psapi.Reset(LoadSystemLibrary(L"\\psapi.dll"));

    LookUp(m_kernel32, "RegisterServiceProcess", pfnRegisterServiceProcess);
    LookUp(m_kernel32, "ProcessIdToSessionId", pfnProcessIdToSessionId);
    LookUp(m_kernel32, "WTSGetActiveConsoleSessionId", pfnWTSGetActiveConsoleSessionId);

    LookUp(m_advapi32, "StartServiceCtrlDispatcherW", pfnStartServiceCtrlDispatcherW);
    LookUp(m_advapi32, "RegisterServiceCtrlHandlerExW", pfnRegisterServiceCtrlHandlerExW);
    LookUp(m_advapi32, "SetServiceStatus", pfnSetServiceStatus);
    LookUp(m_advapi32, "OpenSCManagerW", pfnOpenSCManagerW);
    LookUp(m_advapi32, "CloseServiceHandle", pfnCloseServiceHandle);
    LookUp(m_advapi32, "CreateServiceW", pfnCreateServiceW);
    LookUp(m_advapi32, "OpenServiceW", pfnOpenServiceW);
    LookUp(m_advapi32, "ControlService", pfnControlService);
    LookUp(m_advapi32, "DeleteService", pfnDeleteService);
    LookUp(m_advapi32, "ChangeServiceConfigW", pfnChangeServiceConfigW);
    LookUp(m_advapi32, "CreateProcessAsUserW", pfnCreateProcessAsUserW);
    LookUp(m_advapi32, "OpenProcessToken", pfnOpenProcessToken);
    LookUp(m_advapi32, "LookupPrivilegeValueW", pfnLookupPrivilegeValueW);
    LookUp(m_advapi32, "AdjustTokenPrivileges", pfnAdjustTokenPrivileges);
    LookUp(m_advapi32, "QueryServiceStatus", pfnQueryServiceStatus);
    LookUp(m_advapi32, "StartServiceW", pfnStartServiceW);

    LookUp(m_user32, "OpenDesktopW", pfnOpenDesktopW);
    LookUp(m_user32, "GetUserObjectInformationW", pfnGetUserObjectInformationW);
    LookUp(m_user32, "GetProcessWindowStation", pfnGetProcessWindowStation);
    LookUp(m_user32, "SetProcessWindowStation", pfnSetProcessWindowStation);
    LookUp(m_user32, "CloseWindowStation", pfnCloseWindowStation);
    LookUp(m_user32, "OpenWindowStationW", pfnOpenWindowStationW);

    LookUp(m_psapi, "EnumProcesses", pfnEnumProcesses);
    LookUp(m_psapi, "EnumProcessModules", pfnEnumProcessModules);
    LookUp(m_psapi, "GetModuleBaseNameW", pfnGetModuleBaseNameW);

    LookUp(m_wtsapi32, "WTSQueryUserToken", pfnWTSQueryUserToken);
    // Looked up under this name, which the library exports only as its A and
    // W forms, so it stays null. Nothing calls it.
    LookUp(m_wtsapi32, "WTSQuerySessionInformation", pfnWTSQuerySessionInformation);
    LookUp(m_wtsapi32, "WTSEnumerateSessionsW", pfnWTSEnumerateSessionsW);
    LookUp(m_wtsapi32, "WTSFreeMemory", pfnWTSFreeMemory);
    LookUp(m_wtsapi32, "WTSEnumerateProcessesW", pfnWTSEnumerateProcessesW);

    m_loaded = true;
    return true;
}

BOOL CTsWin32API::CreateProcessAsUserW(HANDLE token, LPWSTR commandLine, LPVOID environment, LPCWSTR directory,
                                       LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) const
{
    if (!m_loaded) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return Call(pfnCreateProcessAsUserW, token, static_cast<LPCWSTR>(nullptr), commandLine,
                static_cast<LPSECURITY_ATTRIBUTES>(nullptr), static_cast<LPSECURITY_ATTRIBUTES>(nullptr), FALSE,
                static_cast<DWORD>(CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED), environment, directory, startup,
                information);
}
