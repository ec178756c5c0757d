// Starting a process, either as the caller (inheriting its identity and
// environment) or inside the interactive user's session with the user's
// token, profile and environment on the user's desktop "winsta0\default".
// The job runner may run as the local system account in session 0, where a
// program it starts would be invisible to the user; a companion that must
// show itself is started in the user's session instead.
//
// For the user's session two strategies are tried in turn: the token of the
// active console or remote session from the terminal services interface,
// then the token of the user's shell process. When both fail the process is
// not started at all (never in session 0 instead).
//
// One helper serves one launch and is released afterwards.
#pragma once

#include "common/Platform.h"

#include "process/TsWin32API.h"

#include <userenv.h>

#include <initializer_list>

class CCPHelper {
public:
    // The longest command line, terminator included.
    static constexpr size_t kMaxCommandLine = 1040;

    CCPHelper() = default;
    virtual ~CCPHelper() = default;
    CCPHelper(const CCPHelper&) = delete;
    CCPHelper& operator=(const CCPHelper&) = delete;

    // Starts `path` with `parameters`: as the caller for launch mode 0, else
    // in the user's session. The command line is the quoted path, then a
    // blank and the parameters when there are any; the working directory is
    // the path's folder. Returns the process handle (the caller closes it) or
    // null with the error in `error`. A null or empty path starts nothing and
    // leaves the error 0; a command line over the limit starts nothing
    // (ERROR_FILENAME_EXCED_RANGE) rather than a cut one.
    HANDLE LaunchProcess(const wchar_t* path, const wchar_t* parameters, DWORD& error, DWORD launchMode);

private:
    HANDLE _RunProcessNormal(wchar_t* commandLine, DWORD& error, const wchar_t* directory);
    // The user token of the active session (terminal services).
    HANDLE _RunProcessAsUserXP(wchar_t* commandLine, DWORD& error, const wchar_t* directory);
    // The token of the user's shell process.
    HANDLE _RunProcessAsUserNT(wchar_t* commandLine, DWORD& error, const wchar_t* directory);
    DWORD _IsActiveOrAdminSessionAvailable(DWORD& sessionId);
    DWORD _GetShellPid(DWORD& processId);
    DWORD _GetShellProgram(wchar_t (&shell)[520]);
    DWORD _AdjustPrivilege(HANDLE token, const wchar_t* privilege);
    // Loads the token user's profile and builds the user's environment block
    // (null when none could be built; free it with DestroyEnvironmentBlock).
    void* _LoadProfileAndEnvironment(HANDLE token, PROFILEINFOW& profile);

    // Opens the own token and enables the privileges in order; false (and
    // the error) at the first failure, logged as `strategy`.
    bool enableOwnPrivileges(const wchar_t* strategy, std::initializer_list<const wchar_t*> privileges,
                             ScopedHandle& ownToken, DWORD& error);
    // Creates the process with `token` on the user's desktop "winsta0\default",
    // with the token user's profile and environment: the process handle, or
    // null with the error in `error`.
    HANDLE createAsUser(HANDLE token, wchar_t* commandLine, const wchar_t* directory, DWORD& error);

    CTsWin32API m_api;
};
