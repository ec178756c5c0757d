// The late-bound system functions that user-session process creation needs:
// terminal services, process status, services, window stations and token
// privileges. Every library is loaded by its full path in the system folder,
// every function is looked up by name, and a function the system lacks stays
// null. Callers go through Call(), which never calls a null pointer.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <psapi.h>
#include <wtsapi32.h>

class CTsWin32APIBase {
public:
    virtual ~CTsWin32APIBase() = default;
};

class CTsWin32API : public CTsWin32APIBase {
public:
    CTsWin32API() = default;
    // Frees the five libraries (the owners do it).
    ~CTsWin32API() override = default;
    CTsWin32API(const CTsWin32API&) = delete;
    CTsWin32API& operator=(const CTsWin32API&) = delete;

    // Loads the libraries and looks up every function once; true (at once
    // when already loaded). A library that fails to load leaves its
    // functions null.
    bool Load();
    bool IsLoaded() const { return m_loaded; }

    // CreateProcessAsUserW without application name, security attributes or
    // handle inheritance, with a Unicode environment block, suspended (its
    // starter resumes it once it has seen its image). False (last error
    // ERROR_PROC_NOT_FOUND) when the table is not loaded or the system lacks it.
    BOOL CreateProcessAsUserW(HANDLE token, LPWSTR commandLine, LPVOID environment, LPCWSTR directory,
                              LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) const;

    // Calls a looked-up function that reports failure by returning zero. A
    // missing one is not called: the call fails with ERROR_PROC_NOT_FOUND.
    template <typename Fn, typename... Args>
    static auto Call(Fn fn, Args... args) -> decltype(fn(args...))
    {
        if (!fn) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return {};
        }
        return fn(args...);
    }

    // Windows 9x only: present in no system this program runs on, kept for the table's shape.
    using RegisterServiceProcessFn = DWORD(WINAPI*)(DWORD processId, DWORD type);

    ScopedModule m_advapi32;
    ScopedModule m_wtsapi32;
    ScopedModule m_kernel32;
    ScopedModule m_user32;
    ScopedModule m_psapi;
    bool m_loaded = false;

    // kernel32
    RegisterServiceProcessFn pfnRegisterServiceProcess = nullptr;
    decltype(&::ProcessIdToSessionId) pfnProcessIdToSessionId = nullptr;
    decltype(&::WTSGetActiveConsoleSessionId) pfnWTSGetActiveConsoleSessionId = nullptr;
    // advapi32
    decltype(&::StartServiceCtrlDispatcherW) pfnStartServiceCtrlDispatcherW = nullptr;
    decltype(&::RegisterServiceCtrlHandlerExW) pfnRegisterServiceCtrlHandlerExW = nullptr;
    decltype(&::SetServiceStatus) pfnSetServiceStatus = nullptr;
    decltype(&::OpenSCManagerW) pfnOpenSCManagerW = nullptr;
    decltype(&::CloseServiceHandle) pfnCloseServiceHandle = nullptr;
    decltype(&::CreateServiceW) pfnCreateServiceW = nullptr;
    decltype(&::OpenServiceW) pfnOpenServiceW = nullptr;
    decltype(&::ControlService) pfnControlService = nullptr;
    decltype(&::DeleteService) pfnDeleteService = nullptr;
    decltype(&::ChangeServiceConfigW) pfnChangeServiceConfigW = nullptr;
    decltype(&::CreateProcessAsUserW) pfnCreateProcessAsUserW = nullptr;
    decltype(&::OpenProcessToken) pfnOpenProcessToken = nullptr;
    decltype(&::LookupPrivilegeValueW) pfnLookupPrivilegeValueW = nullptr;
    decltype(&::AdjustTokenPrivileges) pfnAdjustTokenPrivileges = nullptr;
    decltype(&::QueryServiceStatus) pfnQueryServiceStatus = nullptr;
    decltype(&::StartServiceW) pfnStartServiceW = nullptr;
    // user32
    decltype(&::OpenDesktopW) pfnOpenDesktopW = nullptr;
    decltype(&::GetUserObjectInformationW) pfnGetUserObjectInformationW = nullptr;
    decltype(&::GetProcessWindowStation) pfnGetProcessWindowStation = nullptr;
    decltype(&::SetProcessWindowStation) pfnSetProcessWindowStation = nullptr;
    decltype(&::CloseWindowStation) pfnCloseWindowStation = nullptr;
    decltype(&::OpenWindowStationW) pfnOpenWindowStationW = nullptr;
    // psapi
    decltype(&::EnumProcesses) pfnEnumProcesses = nullptr;
    decltype(&::EnumProcessModules) pfnEnumProcessModules = nullptr;
    decltype(&::GetModuleBaseNameW) pfnGetModuleBaseNameW = nullptr;
    // wtsapi32
    decltype(&::WTSQueryUserToken) pfnWTSQueryUserToken = nullptr;
    decltype(&::WTSQuerySessionInformationW) pfnWTSQuerySessionInformation = nullptr;
    decltype(&::WTSEnumerateSessionsW) pfnWTSEnumerateSessionsW = nullptr;
    decltype(&::WTSFreeMemory) pfnWTSFreeMemory = nullptr;
    decltype(&::WTSEnumerateProcessesW) pfnWTSEnumerateProcessesW = nullptr;
};
