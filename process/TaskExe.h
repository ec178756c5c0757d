// The launcher of companion executables (the updater, the uninstaller, the
// suite's tools). A job makes one CTaskExe for a file, sets how to start it,
// and runs it: the path is resolved (".\" is the program's folder, one
// "%VARIABLE%" is expanded, then the name is looked up the way process
// creation looks it up, into one full path), the file's code signature is
// checked before anything starts, the process is started as the caller or in
// the user's session, given its priority, and optionally waited for.
//
// The file that is checked is the file that runs: it is opened once, denying
// writes and deletes, named by its own path (no link on the way) with every
// folder on it held against renaming, checked while so held, and the new
// process is created
// suspended and resumed only when its image is that same file (volume and
// file id). Whatever else runs is ended before its first instruction and the
// launch is refused like an unsigned file.
//
// CTask is the runnable unit underneath: Run stores the result of Execute and
// then sets a completion event, so another thread waiting in Wait is released
// after every run, whatever its result.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <string>

class CTask {
public:
    CTask();
    virtual ~CTask() = default;
    CTask(const CTask&) = delete;
    CTask& operator=(const CTask&) = delete;

    // Resets the completion event, runs Execute, stores its result, sets the event; the result.
    virtual DWORD Run();
    // Waits, without limit, for the end of a run.
    virtual void Wait();
    // The result of the last run; ERROR_INTERNAL_ERROR until a run completes.
    virtual DWORD GetResult();
    // The value of the first "%NAME%" put in place of every NAME in the path,
    // then every "%" removed (an unset variable's value is empty). A path
    // without two percent signs is left as it is.
    virtual void ExpandEnvironmentPath(std::wstring& path);
    // A path that begins with ".\" gets the program's folder in place of
    // every ".\"; any other path, or no folder, leaves it as it is.
    virtual void ResolveRelativePath(std::wstring& path);
    // The running program's folder, without a trailing backslash, from a name
    // of at most 259 characters: 0, or the error (the output untouched).
    virtual DWORD GetModuleDirectory(std::wstring& directory);
    virtual DWORD Execute() = 0;
    // The full path of the file that process creation starts for `path`:
    // searched as it searches (the program's folder, the current folder, the
    // system folders, PATH; ".exe" added to a name without extension). 0, or
    // the error with the path untouched.
    [[nodiscard]] DWORD ResolveExecutable(std::wstring& path);

protected:
    bool m_ownsEvent = true;
    // Manual-reset, not signalled at first; null when it could not be made.
    ScopedHandle m_completion;
    DWORD m_creationError = ERROR_SUCCESS;
    DWORD m_result = ERROR_INTERNAL_ERROR;
};

class CTaskExe : public CTask {
public:
    CTaskExe(std::wstring path, std::wstring parameters);
    // Closes the process handle, then (CTask) the completion event.
    ~CTaskExe() override = default;

    // runProcess with copies of the path and parameters and the launch mode.
    DWORD Execute() override;
    // Wait up to `timeoutMs` for the process to end (INFINITE: no limit).
    virtual void SetWaitForCompletion(DWORD timeoutMs);
    // 0: as the caller; anything else: in the interactive user's session.
    virtual void SetLaunchMode(DWORD mode);
    virtual void SetPriority(DWORD priorityClass);
    // Non-zero: check the file's code signature before starting it (the default).
    virtual void SetVerifySignature(DWORD verify);
    // The handle of the last started process, open until CloseProcessHandle.
    virtual HANDLE GetProcessHandle();
    // Starts the file: 87 when its signature is refused (nothing runs),
    // the error of a failed start, else with a wait the exit code (259 when
    // the wait timed out; the process goes on running), without one 0.
    virtual DWORD runProcess(std::wstring path, std::wstring parameters, DWORD launchMode);
    virtual DWORD CloseProcessHandle();
    virtual DWORD GetPriority();

protected:
    // Creates the process for the resolved full `path` (CCPHelper, one per
    // launch); `image` is the checked file, held open, or null without a
    // check. The process handle, or null with the error.
    [[nodiscard]]
    virtual HANDLE StartProcess(const std::wstring& path, const std::wstring& parameters, DWORD launchMode,
                                HANDLE image, DWORD& error);

private:
    std::wstring m_path;
    std::wstring m_parameters;
    DWORD m_waitForCompletion = 0;
    DWORD m_launchMode = 0;
    DWORD m_priority = NORMAL_PRIORITY_CLASS;
    DWORD m_verifySignature = 1;
    DWORD m_waitTimeout = INFINITE;
    ScopedHandle m_process;
};
