// Stand-in for the platform's terminal services library "wtsapi32.dll". The
// test machine's own answers no session at all, so a program that looks for
// the interactive user's session could never find one there. This library
// replaces it the way a platform component is replaced (a copy in the
// system folder, preferred by a native DLL override; see README.md) and
// answers as its knobs under HKLM\SOFTWARE\Tarsen\Testbed\Sessions say:
//   "Sessions"        REG_SZ     the sessions, in the order listed, as "id:state"
//                                separated by blanks ("2:4 3:0": session 2
//                                disconnected, session 3 active); absent: none
//   "EnumerateError"  REG_DWORD  non-zero: WTSEnumerateSessionsW fails with it
//   "TokenError"      REG_DWORD  non-zero: WTSQueryUserToken fails with it
//   "JournalPath"     REG_SZ     journal file (default C:\ProgramData\Tarsen\Testbed\sessions.journal)
// The machine has one user, so a listed session's token is the caller's own
// user, as a primary token marked with the session's id.
#include "common/Platform.h"

#include "testbed/StandinSupport.h"

#include <wtsapi32.h>

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace {

void Journal(const std::string& line)
{
    const std::string text = line + "\n";
    standin::AppendJournal(standin::JournalPath(standin::kSessionsKey, standin::kSessionsJournal), text.data(),
                           static_cast<DWORD>(text.size()));
}

// (id, state) pairs from the "Sessions" knob.
std::vector<std::pair<DWORD, DWORD>> Sessions()
{
    std::vector<std::pair<DWORD, DWORD>> sessions;
    wchar_t text[1024];
    DWORD bytes = sizeof(text);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, standin::kSessionsKey, L"Sessions", RRF_RT_REG_SZ, nullptr, text, &bytes) !=
        ERROR_SUCCESS) {
        return sessions;
    }
    for (wchar_t* cursor = text; *cursor;) {
        wchar_t* end = nullptr;
        const DWORD id = std::wcstoul(cursor, &end, 10);
        if (end == cursor || *end != L':') break;
        cursor = end + 1;
        const DWORD state = std::wcstoul(cursor, &end, 10);
        if (end == cursor) break;
        sessions.emplace_back(id, state);
        for (cursor = end; *cursor == L' '; ++cursor) {
        }
    }
    return sessions;
}

wchar_t kStationName[] = L"Console";

}  // namespace

// Exported under the platform's names (SessionStandin.def).
extern "C" BOOL WINAPI StandinEnumerateSessionsW(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* list, DWORD* count)
{
    if (!list || !count) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (const DWORD error = standin::KnobDword(standin::kSessionsKey, L"EnumerateError", 0)) {
        Journal("WTSEnumerateSessionsW error=" + std::to_string(error));
        ::SetLastError(error);
        return FALSE;
    }
    const auto sessions = Sessions();
    auto* info = static_cast<WTS_SESSION_INFOW*>(::LocalAlloc(LPTR, (sessions.size() + 1) * sizeof(WTS_SESSION_INFOW)));
    if (!info) return FALSE;
    for (size_t i = 0; i < sessions.size(); ++i) {
        info[i].SessionId = sessions[i].first;
        info[i].pWinStationName = kStationName;
        info[i].State = static_cast<WTS_CONNECTSTATE_CLASS>(sessions[i].second);
    }
    *list = info;
    *count = static_cast<DWORD>(sessions.size());
    Journal("WTSEnumerateSessionsW count=" + std::to_string(sessions.size()));
    return TRUE;
}

extern "C" void WINAPI StandinFreeMemory(PVOID memory)
{
    if (!memory) return;
    ::LocalFree(memory);
    Journal("WTSFreeMemory");
}

extern "C" BOOL WINAPI StandinQueryUserToken(ULONG sessionId, PHANDLE token)
{
    const std::string call = "WTSQueryUserToken session=" + std::to_string(sessionId);
    DWORD error = standin::KnobDword(standin::kSessionsKey, L"TokenError", 0);
    bool listed = false;
    for (const auto& session : Sessions()) listed = listed || session.first == sessionId;
    if (!token) error = ERROR_INVALID_PARAMETER;
    if (!error && !listed) error = ERROR_NO_TOKEN;
    HANDLE own = nullptr;
    if (!error && !::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) {
        error = ::GetLastError();
    }
    if (!error && !::DuplicateTokenEx(own, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, token)) {
        error = ::GetLastError();
    }
    if (own) ::CloseHandle(own);
    if (error) {
        Journal(call + " error=" + std::to_string(error));
        ::SetLastError(error);
        return FALSE;
    }
    // Marks the token with its session where the system lets the caller do so.
    DWORD session = sessionId;
    ::SetTokenInformation(*token, TokenSessionId, &session, sizeof(session));
    Journal(call);
    return TRUE;
}
