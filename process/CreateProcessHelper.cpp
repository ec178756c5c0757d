#include "common/Platform.h"

#include "process/CreateProcessHelper.h"

#include "common/FileIdentity.h"
#include "common/ScopeExit.h"
#include "common/UniqueHandle.h"
#include "logging/Log.h"

#include <string>

namespace {

// The session id handed out while no session has been found.
constexpr DWORD kNoSession = 0xFFFFFFFE;
constexpr DWORD kMaxProcesses = 1040;
constexpr wchar_t kSource[] = L"CreateProcessHelper.cpp";
constexpr wchar_t kWinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

}  // namespace

HANDLE CCPHelper::LaunchProcess(const wchar_t* path, const wchar_t* parameters, DWORD& error, DWORD launchMode,
                                HANDLE image)
{
    error = ERROR_SUCCESS;
    if (!path || !*path) return nullptr;

    // The working directory is the executable's folder: the path as far as a
    // 261-character buffer holds it, cut at its last backslash. Without one
    // there is no folder and the process starts in the caller's directory.
    std::wstring directory = std::wstring(path).substr(0, MAX_PATH);
    const size_t slash = directory.find_last_of(L'\\');
    directory.resize(slash == std::wstring::npos ? 0 : slash);

    // The path is quoted so that a folder with blanks is not read as program
    // and arguments. A command line that does not fit is refused: a cut one
    // would start the companion with other arguments than asked.
    std::wstring commandLine = L"\"" + std::wstring(path) + L"\"";
    if (parameters && *parameters) commandLine += L" " + std::wstring(parameters);
    if (commandLine.size() >= kMaxCommandLine) {
        error = ERROR_FILENAME_EXCED_RANGE;
        QEL_LOG(LOG_ERROR, L"The command line of %s has %u characters, more than %u. ErrorCode: %u", path,
                static_cast<unsigned>(commandLine.size()), static_cast<unsigned>(kMaxCommandLine - 1), error);
        return nullptr;
    }
    const wchar_t* folder = directory.empty() ? nullptr : directory.c_str();

    ScopedHandle thread;
    HANDLE process = nullptr;
    if (launchMode == 0) {
        process = _RunProcessNormal(commandLine.data(), error, folder, thread);
    } else {
        m_api.Load();
        process = _RunProcessAsUserXP(commandLine.data(), error, folder, thread);
        if (!process) process = _RunProcessAsUserNT(commandLine.data(), error, folder, thread);
    }
    return process ? resumeChecked(process, thread.Get(), image, error) : nullptr;
}

// The image of the new process is named by the system; that name is opened
// and compared with the checked file by identity, not by name: a folder
// renamed or a link re-pointed between the check and the start shows as
// another file.
HANDLE CCPHelper::resumeChecked(HANDLE process, HANDLE thread, HANDLE image, DWORD& error)
{
    ScopedHandle owned(process);
    if (image) {
        std::wstring name(32768, L'\0');
        DWORD chars = static_cast<DWORD>(name.size());
        const bool named = ::QueryFullProcessImageNameW(process, 0, name.data(), &chars);
        name.resize(named ? chars : 0);
        if (!named || !PathNamesFile(name, image)) {
            const DWORD reason = named ? kErrorImageNotChecked : ::GetLastError();
            QEL_LOG(LOG_ERROR, L"The started process runs \"%s\", not the checked file; ended before it ran. ErrorCode: %u",
                    name.c_str(), reason);
            ::TerminateProcess(process, kErrorImageNotChecked);
            error = kErrorImageNotChecked;
            return nullptr;
        }
    }
    if (::ResumeThread(thread) == static_cast<DWORD>(-1)) {
        error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"The started process could not be resumed; ended. ErrorCode: %u", error);
        ::TerminateProcess(process, error);
        return nullptr;
    }
    return owned.Release();
}

HANDLE CCPHelper::_RunProcessNormal(wchar_t* commandLine, DWORD& error, const wchar_t* directory,
                                    ScopedHandle& thread)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information{};
    if (!::CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED,
                          nullptr, directory, &startup, &information)) {
        error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"Failed to create process (%s). ErrorCode: %u", commandLine, error);
        return nullptr;
    }
    QEL_LOG(LOG_NORMAL, L"Successfully created process (%s)", commandLine);
    thread.Reset(information.hThread);
    error = ERROR_SUCCESS;
    return information.hProcess;
}

HANDLE CCPHelper::_RunProcessAsUserXP(wchar_t* commandLine, DWORD& error, const wchar_t* directory,
                                      ScopedHandle& thread)
{
    error = ERROR_INVALID_PARAMETER;
    DWORD sessionId = kNoSession;
    const DWORD available = _IsActiveOrAdminSessionAvailable(sessionId);
    if (available != ERROR_SUCCESS) {
        error = available;
        QEL_LOG(LOG_ERROR, L"CCPHelper::_RunProcessAsUserXP(): Active Session Is Not Available. GetLastError() returned %d\n",
                available);
        return nullptr;
    }

    PrivilegeRestore own(*this);
    if (!enableOwnPrivileges(L"CCPHelper::_RunProcessAsUserXP",
                             {L"SeTcbPrivilege", L"SeAssignPrimaryTokenPrivilege", L"SeIncreaseQuotaPrivilege"}, own,
                             error)) {
        return nullptr;
    }

    ScopedHandle userToken;
    if (!CTsWin32API::Call(m_api.pfnWTSQueryUserToken, static_cast<ULONG>(sessionId), userToken.Put())) {
        error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"WTSQueryUserToken failed. Session ID = %d, GetLastError = %d", sessionId, error);
        return nullptr;
    }

    const HANDLE process = createAsUser(userToken.Get(), commandLine, directory, error, thread);
    if (!process) {
        QEL_LOG(LOG_ERROR, L"CreateProcessAsUser for XP failed. GetLastError = %d", error);
        return nullptr;
    }
    QEL_LOG(LOG_NORMAL, L"Successfully created process (%s) in the current users context", commandLine);
    return process;
}

// The first active session in the order the system lists them is the user's.
//
// Disconnected sessions met on the way are logged, and their id is kept in the
// output, so the log shows which sessions were passed over. Their users'
// tokens are not opened to ask whether they are administrators: whatever the
// answer, the result stays "no active session" (1312) and the caller uses the
// id only with an active one. Opening the token of every disconnected user
// would take the trusted computing base privilege for an answer nobody reads.
DWORD CCPHelper::_IsActiveOrAdminSessionAvailable(DWORD& sessionId)
{
    sessionId = kNoSession;
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    if (!CTsWin32API::Call(m_api.pfnWTSEnumerateSessionsW, WTS_CURRENT_SERVER_HANDLE, 0ul, 1ul, &sessions, &count)) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"WTSEnumerateSessions failed: GetLastError() returned %d\n", error);
        return error;
    }
    if (!sessions) count = 0;
    // The list goes back through the late-bound table (never through a missing entry).
    const ScopeExit freeSessions([&]() noexcept {
        if (sessions && m_api.pfnWTSFreeMemory) m_api.pfnWTSFreeMemory(sessions);
    });

    DWORD result = ERROR_NO_SUCH_LOGON_SESSION;
    for (DWORD i = 0; i < count; ++i) {
        const WTS_SESSION_INFOW& session = sessions[i];
        if (session.State == WTSActive) {
            QEL_LOG(LOG_NORMAL, L"_IsActiveOrAdminSessionAvailable: Active SessionId = %u, State = %u\n",
                    session.SessionId, static_cast<unsigned>(session.State));
            sessionId = session.SessionId;
            result = ERROR_SUCCESS;
            break;
        }
        if (session.State == WTSDisconnected) {
            QEL_LOG(LOG_NORMAL, L"_IsActiveOrAdminSessionAvailable: SessionId = %u, State = %u\n", session.SessionId,
                    static_cast<unsigned>(session.State));
            sessionId = session.SessionId;
        }
    }
    return result;
}

HANDLE CCPHelper::_RunProcessAsUserNT(wchar_t* commandLine, DWORD& error, const wchar_t* directory,
                                      ScopedHandle& thread)
{
    error = ERROR_SUCCESS;
    DWORD shellId = 0;
    const DWORD found = _GetShellPid(shellId);
    if (found != ERROR_SUCCESS) {
        error = found;
        QEL_LOG(LOG_ERROR, L"CCPHelper::_RunProcessAsUserNT: _GetShellPid returned %u", found);
        return nullptr;
    }
    if (shellId == 0) {
        // Nothing was started: never a success for the caller.
        error = ERROR_NOT_FOUND;
        QEL_LOG(LOG_ERROR, L"CCPHelper::_RunProcessAsUserNT: _GetShellPid = 0");
        return nullptr;
    }

    ScopedHandle shell(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shellId));
    if (!shell) {
        error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"CCPHelper::_RunProcessAsUserNT: Openprocess failed. ErrorCode: %u", error);
        return nullptr;
    }
    ScopedHandle shellToken;
    if (!CTsWin32API::Call(m_api.pfnOpenProcessToken, shell.Get(),
                           static_cast<DWORD>(TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY),
                           shellToken.Put())) {
        error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"CCPHelper::_RunProcessAsUserNT: OpenProcessToken failed with error: %u", error);
        return nullptr;
    }
    if (!shellToken) {
        error = ERROR_INVALID_PARAMETER;
        QEL_LOG(LOG_ERROR, L"CCPHelper::_RunProcessAsUserNT: OpenProcessToken returned NULL handle");
        return nullptr;
    }

    PrivilegeRestore own(*this);
    if (!enableOwnPrivileges(L"CCPHelper::_RunProcessAsUserNT",
                             {L"SeAssignPrimaryTokenPrivilege", L"SeIncreaseQuotaPrivilege"}, own, error)) {
        return nullptr;
    }

    const HANDLE process = createAsUser(shellToken.Get(), commandLine, directory, error, thread);
    if (!process) {
        QEL_LOG(LOG_ERROR, L"CCPHelper::_RunProcessAsUserNT: CreateProcessAsUser failed. GetLastError = %u", error);
    }
    return process;
}

CCPHelper::PrivilegeRestore::~PrivilegeRestore()
{
    // Last enabled, first restored: each previous state as the system reported it.
    for (auto it = previous.rbegin(); it != previous.rend(); ++it) {
        if (!CTsWin32API::Call(m_helper.m_api.pfnAdjustTokenPrivileges, token.Get(), FALSE, &*it, 0ul,
                               static_cast<PTOKEN_PRIVILEGES>(nullptr), static_cast<PDWORD>(nullptr))) {
            const DWORD error = ::GetLastError();
            QEL_LOG(LOG_ERROR, L"AdjustTokenPrivileges failed. ErrorCode: %u", error);
        }
    }
}

// The steps both strategies share, logged under the strategy's name.
bool CCPHelper::enableOwnPrivileges(const wchar_t* strategy, std::initializer_list<const wchar_t*> privileges,
                                    PrivilegeRestore& own, DWORD& error)
{
    const HANDLE self = ::GetCurrentProcess();
    if (!self) {
        error = ERROR_INVALID_PARAMETER;
        QEL_LOG_AS(LOG_ERROR, kSource, strategy, L"%s: GetCurrentProcess returned NULL handle", strategy);
        return false;
    }
    // Querying too: the state before each change is kept to be put back.
    if (!CTsWin32API::Call(m_api.pfnOpenProcessToken, self, static_cast<DWORD>(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY),
                           own.token.Put())) {
        error = ::GetLastError();
        QEL_LOG_AS(LOG_ERROR, kSource, strategy, L"%s: OpenProcessToken for SELF failed with error: %u", strategy,
                   error);
        return false;
    }
    for (const wchar_t* privilege : privileges) {
        TOKEN_PRIVILEGES previous{};
        error = _AdjustPrivilege(own.token.Get(), privilege, &previous);
        // A privilege the token lacks reports no previous state: nothing to put back.
        if (previous.PrivilegeCount) own.previous.push_back(previous);
        if (error != ERROR_SUCCESS) {
            // Both strategies' readers know this line by the one text.
            QEL_LOG_AS(LOG_ERROR, kSource, strategy,
                       L"CCPHelper::_RunProcessAsUserNT: _AdjustPrivilege failed with error: %u for %s", error,
                       privilege);
            return false;
        }
    }
    return true;
}

HANDLE CCPHelper::createAsUser(HANDLE token, wchar_t* commandLine, const wchar_t* directory, DWORD& error,
                               ScopedHandle& thread)
{
    // The structure's own size (68 bytes in a 32-bit build, more in a 64-bit one).
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    wchar_t desktop[] = L"winsta0\\default";
    startup.lpDesktop = desktop;

    PROFILEINFOW profile{};
    // This load is let go once the process exists: the user's own logon keeps
    // the profile as long as the user is there. Unloading needs the token too.
    const ScopeExit unloadProfile([&]() noexcept {
        if (profile.hProfile && !::UnloadUserProfile(token, profile.hProfile)) {
            const DWORD unloadError = ::GetLastError();
            QEL_LOG(LOG_ERROR, L"Could not unload user profile. Error: %d", unloadError);
        }
    });
    const ScopedEnvironmentBlock environment(_LoadProfileAndEnvironment(token, profile));
    PROCESS_INFORMATION information{};
    const BOOL created =
        m_api.CreateProcessAsUserW(token, commandLine, environment.Get(), directory, &startup, &information);
    error = created ? ERROR_SUCCESS : ::GetLastError();
    if (created) thread.Reset(information.hThread);
    return created ? information.hProcess : nullptr;
}

DWORD CCPHelper::_GetShellPid(DWORD& processId)
{
    processId = 0;
    wchar_t shell[520] = L"";
    const DWORD shellError = _GetShellProgram(shell);
    const wchar_t* name = L"";
    if (shellError == ERROR_SUCCESS) {
        const wchar_t* slash = ::wcsrchr(shell, L'\\');
        name = slash ? slash + 1 : shell;
    }
    if (!*name) QEL_LOG(LOG_ERROR, L"Trying to get PID of the Shell. The shell name is EMPTY");

    DWORD ids[kMaxProcesses] = {};
    DWORD bytes = 0;
    if (!CTsWin32API::Call(m_api.pfnEnumProcesses, ids, static_cast<DWORD>(sizeof(ids)), &bytes)) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"EnumProcesses failed. ErrorCode: %u", error);
        return error;
    }
    for (DWORD i = 0; i < bytes / sizeof(DWORD) && i < kMaxProcesses; ++i) {
        const DWORD id = ids[i];
        ScopedHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
        if (!process) {
            const DWORD error = ::GetLastError();
            QEL_LOG(LOG_NORMAL, L"Openprocess for PID: %u failed with error: %u", id, error);
            continue;
        }
        HMODULE module = nullptr;
        DWORD needed = 0;
        if (!CTsWin32API::Call(m_api.pfnEnumProcessModules, process.Get(), &module,
                               static_cast<DWORD>(sizeof(module)), &needed)) {
            const DWORD error = ::GetLastError();
            QEL_LOG(LOG_NORMAL, L"EnumProcessModules for PID: %u failed with error: %u", id, error);
            continue;
        }
        wchar_t baseName[MAX_PATH] = L"";
        if (!CTsWin32API::Call(m_api.pfnGetModuleBaseNameW, process.Get(), module, baseName,
                               static_cast<DWORD>(MAX_PATH))) {
            const DWORD error = ::GetLastError();
            QEL_LOG(LOG_NORMAL, L"GetModuleBaseName for PID: %u failed with error: %u", id, error);
            continue;
        }
        // File names: the same name whatever the case of its letters.
        if (::CompareStringOrdinal(baseName, -1, name, -1, TRUE) == CSTR_EQUAL) {
            QEL_LOG(LOG_NORMAL, L"The Current Shell PID = %u", id);
            processId = id;
            break;
        }
    }
    if (processId == 0) QEL_LOG(LOG_ERROR, L"Could not find the Shell PID");
    return shellError;
}

DWORD CCPHelper::_GetShellProgram(wchar_t (&shell)[520])
{
    shell[0] = L'\0';
    ScopedRegKey key;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, KEY_ALL_ACCESS, key.Put());
    if (status != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"RegOpenKeyEx(WINLOGIN) failed. ErrorCode: %d", static_cast<int>(status));
        return static_cast<DWORD>(status);
    }
    // Only a string is a program name; the reader adds the terminator a
    // stored string may lack.
    DWORD bytes = sizeof(shell);
    status = ::RegGetValueW(key.Get(), nullptr, L"Shell", RRF_RT_REG_SZ, nullptr, shell, &bytes);
    if (status != ERROR_SUCCESS) {
        shell[0] = L'\0';
        QEL_LOG(LOG_ERROR, L"RegQueryValueEx failed. ErrorCode: %d", static_cast<int>(status));
        return static_cast<DWORD>(status);
    }
    QEL_LOG(LOG_NORMAL, L"The shell program is: %s", shell);
    return ERROR_SUCCESS;
}

DWORD CCPHelper::_AdjustPrivilege(HANDLE token, const wchar_t* privilege, TOKEN_PRIVILEGES* previous)
{
    // Nothing to enable: never reported as enabled.
    if (!token || !privilege || !*privilege) return ERROR_INVALID_PARAMETER;

    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!CTsWin32API::Call(m_api.pfnLookupPrivilegeValueW, static_cast<LPCWSTR>(nullptr), privilege,
                           &privileges.Privileges[0].Luid)) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"LookupPrivilegeValue() failed. ErrorCode: %u", error);
        return error;
    }
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD previousBytes = 0;
    if (!CTsWin32API::Call(m_api.pfnAdjustTokenPrivileges, token, FALSE, &privileges,
                           static_cast<DWORD>(previous ? sizeof(*previous) : 0), previous,
                           previous ? &previousBytes : static_cast<PDWORD>(nullptr))) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"AdjustTokenPrivileges failed. ErrorCode: %u", error);
        return error;
    }
    return ERROR_SUCCESS;
}

void* CCPHelper::_LoadProfileAndEnvironment(HANDLE token, PROFILEINFOW& profile)
{
    alignas(TOKEN_USER) BYTE user[500];
    DWORD needed = 0;
    if (!::GetTokenInformation(token, TokenUser, user, sizeof(user), &needed)) {
        const DWORD error = ::GetLastError();
        QEL_LOG(LOG_ERROR, L"Could not get token information. Error: %d", error);
    } else {
        wchar_t name[512] = L"";
        wchar_t domain[512] = L"";
        DWORD nameChars = 512, domainChars = 512;
        SID_NAME_USE use{};
        if (!::LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(user)->User.Sid, name, &nameChars, domain,
                                 &domainChars, &use)) {
            const DWORD error = ::GetLastError();
            QEL_LOG(LOG_ERROR, L"Could not lookup account based on SID. Error: %d", error);
        } else {
            QEL_LOG(LOG_NORMAL, L"Got user name: %s", name);
            profile = PROFILEINFOW{};
            profile.dwSize = sizeof(profile);
            // Never a message box: nobody may be there to close it.
            profile.dwFlags = PI_NOUI;
            profile.lpUserName = name;
            if (!::LoadUserProfileW(token, &profile)) {
                const DWORD error = ::GetLastError();
                QEL_LOG(LOG_ERROR, L"Could not Load user profile. Error: %d", error);
            }
            profile.lpUserName = nullptr;  // the name lives in this frame only
        }
    }
    void* environment = nullptr;
    if (!::CreateEnvironmentBlock(&environment, token, FALSE)) environment = nullptr;
    return environment;
}
