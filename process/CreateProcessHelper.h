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
// Every process is created suspended. When the caller hands in the file it
// has checked (a handle it holds open, denying writes and deletes), the new
// process is resumed only when its image is that very file (same volume, same
// file id); otherwise it is ended before it ran an instruction of its own.
//
// One helper serves one launch and is released afterwards.
#pragma once

#include "common/Platform.h"

#include "process/TsWin32API.h"

#include <userenv.h>

#include <initializer_list>
#include <string>
#include <vector>

// The error of a launch whose new process ran another image than the checked
// file (ERROR_INVALID_IMAGE_HASH, which the cross headers lack).
inline constexpr DWORD kErrorImageNotChecked = 577;


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
    // (ERROR_FILENAME_EXCED_RANGE) rather than a cut one. With `image` (a
    // handle on the checked file) a process whose image is another file is
    // ended unresumed: null with kErrorImageNotChecked.
    HANDLE LaunchProcess(const wchar_t* path, const wchar_t* parameters, DWORD& error, DWORD launchMode,
                         HANDLE image = nullptr);

private:
    // Each strategy creates the process suspended and hands out its first thread.
    HANDLE _RunProcessNormal(wchar_t* commandLine, DWORD& error, const wchar_t* directory, ScopedHandle& thread);
    // The user token of the active session (terminal services).
    HANDLE _RunProcessAsUserXP(wchar_t* commandLine, DWORD& error, const wchar_t* directory, ScopedHandle& thread);
    // The token of the user's shell process. No shell process running: null
    // with ERROR_NOT_FOUND (nothing was started).
    HANDLE _RunProcessAsUserNT(wchar_t* commandLine, DWORD& error, const wchar_t* directory, ScopedHandle& thread);
    DWORD _IsActiveOrAdminSessionAvailable(DWORD& sessionId);
    DWORD _GetShellPid(DWORD& processId);
    DWORD _GetShellProgram(wchar_t (&shell)[520]);
    // Enables the privilege; its state before goes to `previous` when given.
    DWORD _AdjustPrivilege(HANDLE token, const wchar_t* privilege, TOKEN_PRIVILEGES* previous = nullptr);
    // Loads the token user's profile and builds the user's environment block
    // (null when none could be built; free it with DestroyEnvironmentBlock).
    void* _LoadProfileAndEnvironment(HANDLE token, PROFILEINFOW& profile);

    // The privileges this process had before a strategy enabled its own:
    // put back as they were when the strategy ends, whatever its outcome.
    class PrivilegeRestore {
    public:
        explicit PrivilegeRestore(CCPHelper& helper) : m_helper(helper) {}
        ~PrivilegeRestore();
        PrivilegeRestore(const PrivilegeRestore&) = delete;
        PrivilegeRestore& operator=(const PrivilegeRestore&) = delete;
        ScopedHandle token;
        std::vector<TOKEN_PRIVILEGES> previous;

    private:
        CCPHelper& m_helper;
    };

    // Opens the own token and enables the privileges in order; false (and
    // the error) at the first failure, logged as `strategy`.
    [[nodiscard]] bool enableOwnPrivileges(const wchar_t* strategy, std::initializer_list<const wchar_t*> privileges,
                             PrivilegeRestore& own, DWORD& error);
    // Creates the process suspended with `token` on the user's desktop
    // "winsta0\default", with the token user's profile (unloaded again once
    // the process exists) and environment: the process handle, or null with
    // the error in `error`.
    [[nodiscard]] HANDLE createAsUser(HANDLE token, wchar_t* commandLine, const wchar_t* directory, DWORD& error,
                        ScopedHandle& thread);
    // Resumes the suspended process when `image` is null or its image file;
    // else ends it. The process handle, or null with the error.
    [[nodiscard]] HANDLE resumeChecked(HANDLE process, HANDLE thread, HANDLE image, DWORD& error);

    CTsWin32API m_api;
};
