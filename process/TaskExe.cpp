#include "common/Platform.h"

#include "process/TaskExe.h"

#include "common/HeldFile.h"
#include "logging/Log.h"
#include "process/CreateProcessHelper.h"
#include "trust/FileTrust.h"

#include <shlwapi.h>

#include <cstdlib>

namespace {

void ReplaceAll(std::wstring& text, const std::wstring& what, const std::wstring& with)
{
    if (what.empty()) return;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
}

// The folders process creation searches for a name, in its order: the
// program's folder, the current folder (unless the environment says not to
// for this name), the system folder, its 16-bit sibling, the Windows folder,
// then PATH.
std::wstring ExecutableSearchPath(const std::wstring& programFolder, const std::wstring& name)
{
    wchar_t system[MAX_PATH] = L"";
    wchar_t windows[MAX_PATH] = L"";
    const UINT systemChars = ::GetSystemDirectoryW(system, MAX_PATH);
    const UINT windowsChars = ::GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring search = programFolder;
    if (::NeedCurrentDirectoryForExePathW(name.c_str())) search += L";.";
    if (systemChars && systemChars < MAX_PATH) search += L";" + std::wstring(system);
    if (windowsChars && windowsChars < MAX_PATH) search += L";" + std::wstring(windows) + L"\\system;" + windows;
    const DWORD pathChars = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (pathChars > 1) {
        std::wstring path(pathChars, L'\0');
        path.resize(::GetEnvironmentVariableW(L"PATH", path.data(), pathChars));
        search += L";" + path;
    }
    return search;
}

}  // namespace

CTask::CTask() : m_completion(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!m_completion) m_creationError = ::GetLastError();
}

DWORD CTask::Run()
{
    ::ResetEvent(m_completion.Get());
    m_result = Execute();
    ::SetEvent(m_completion.Get());
    return m_result;
}

void CTask::Wait() { ::WaitForSingleObject(m_completion.Get(), INFINITE); }

DWORD CTask::GetResult() { return m_result; }

void CTask::ExpandEnvironmentPath(std::wstring& path)
{
    const size_t first = path.find(L'%');
    if (first == std::wstring::npos) return;
    const size_t second = path.find(L'%', first + 1);
    if (second == std::wstring::npos) return;

    const std::wstring name = path.substr(first + 1, second - first - 1);
    wchar_t value[MAX_PATH] = L"";
    size_t length = 0;
    // Not set, or longer than the buffer: no value.
    if (name.empty() || ::_wgetenv_s(&length, value, MAX_PATH, name.c_str()) != 0) value[0] = L'\0';
    ReplaceAll(path, name, value);
    ReplaceAll(path, L"%", L"");
}

void CTask::ResolveRelativePath(std::wstring& path)
{
    if (path.compare(0, 2, L".\\") != 0) return;
    std::wstring directory;
    if (GetModuleDirectory(directory) != ERROR_SUCCESS) return;
    ReplaceAll(path, L".\\", directory + L"\\");
}

DWORD CTask::GetModuleDirectory(std::wstring& directory)
{
    wchar_t name[MAX_PATH] = L"";
    const DWORD length = ::GetModuleFileNameW(nullptr, name, MAX_PATH);
    // A name that fills the buffer may have been cut.
    if (length == 0 || length >= MAX_PATH) return ::GetLastError();
    if (!::PathRemoveFileSpecW(name)) {
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_BAD_PATHNAME;  // never a folder-less success
    }
    directory = name;
    return ERROR_SUCCESS;
}

CTaskExe::CTaskExe(std::wstring path, std::wstring parameters)
    : m_path(std::move(path)), m_parameters(std::move(parameters))
{
}

DWORD CTaskExe::Execute() { return runProcess(m_path, m_parameters, m_launchMode); }

void CTaskExe::SetWaitForCompletion(DWORD timeoutMs)
{
    m_waitForCompletion = 1;
    m_waitTimeout = timeoutMs;
}

void CTaskExe::SetLaunchMode(DWORD mode) { m_launchMode = mode; }

void CTaskExe::SetPriority(DWORD priorityClass) { m_priority = priorityClass; }

void CTaskExe::SetVerifySignature(DWORD verify) { m_verifySignature = verify; }

HANDLE CTaskExe::GetProcessHandle() { return m_process.Get(); }

DWORD CTaskExe::CloseProcessHandle()
{
    m_process.Reset();
    return ERROR_SUCCESS;
}

DWORD CTaskExe::GetPriority() { return m_priority; }

DWORD CTask::ResolveExecutable(std::wstring& path)
{
    std::wstring programFolder;
    GetModuleDirectory(programFolder);
    const std::wstring search = ExecutableSearchPath(programFolder, path);
    std::wstring full(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD chars = path.empty() ? 0
                                         : ::SearchPathW(search.c_str(), path.c_str(), L".exe",
                                                         static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (chars == 0) {
            const DWORD error = ::GetLastError();
            return error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND;
        }
        if (chars < full.size()) {
            full.resize(chars);
            path = full;
            return ERROR_SUCCESS;
        }
        full.assign(chars, L'\0');
    }
    return ERROR_FILENAME_EXCED_RANGE;
}

HANDLE CTaskExe::StartProcess(const std::wstring& path, const std::wstring& parameters, DWORD launchMode,
                              HANDLE image, DWORD& error)
{
    CCPHelper helper;
    return helper.LaunchProcess(path.c_str(), parameters.c_str(), error, launchMode, image);
}

DWORD CTaskExe::runProcess(std::wstring path, std::wstring parameters, DWORD launchMode)
{
    CloseProcessHandle();
    ResolveRelativePath(path);
    ExpandEnvironmentPath(path);
    // One full path from here on: the name that is checked is the name that
    // is started, never a bare name found in one folder and run from another.
    const DWORD resolved = ResolveExecutable(path);

    // Held from before the check until the process exists: nobody writes,
    // replaces or deletes the checked file, or renames a folder on its way,
    // in between.
    CHeldFile image;
    if (m_verifySignature) {
        // From here on the held file's own path, its folders held too.
        const bool held = resolved == ERROR_SUCCESS && image.Hold(path);
        if (held) path = image.Path();
        // Checked by that name while held; then the name must still lead to
        // the held file (a folder renamed before it was held does not).
        if (!held || VerifyFileTrust(path.c_str()) != ERROR_SUCCESS || !image.StillNamed()) {
            QEL_LOG(LOG_ERROR, L"Invalid Orvel Security Signature :%s", path.c_str());
            return ERROR_INVALID_PARAMETER;
        }
    }

    DWORD error = resolved;
    if (resolved == ERROR_SUCCESS) m_process.Reset(StartProcess(path, parameters, launchMode, image.Handle(), error));
    if (!m_process && image.Handle() && error == kErrorImageNotChecked) {
        QEL_LOG(LOG_ERROR, L"Invalid Orvel Security Signature :%s", path.c_str());
        return ERROR_INVALID_PARAMETER;
    }
    image.Release();
    if (!m_process) {
        QEL_LOG(LOG_ERROR, L"Launch process:%s %s, errorcode:%d", path.c_str(), parameters.c_str(), error);
        return error;
    }
    if (!::SetPriorityClass(m_process.Get(), m_priority)) {
        const DWORD priorityError = ::GetLastError();
        QEL_LOG(LOG_NORMAL, L"Setting priority for the process failed %d", priorityError);
    }
    QEL_LOG(LOG_NORMAL, L"Launch process:%s %s, errorcode:%d", path.c_str(), parameters.c_str(), ERROR_SUCCESS);

    if (!m_waitForCompletion) return ERROR_SUCCESS;
    QEL_LOG(LOG_NORMAL, L"Launch process wait for completion");
    // A process still running when the wait ends reports STILL_ACTIVE (259).
    ::WaitForSingleObject(m_process.Get(), m_waitTimeout);
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(m_process.Get(), &exitCode)) return ::GetLastError();
    return exitCode;
}
