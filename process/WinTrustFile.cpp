#include "common/Platform.h"

#include "process/WinTrustFile.h"

#include <softpub.h>
#include <wintrust.h>

LONG CWinTrustFile::call(LPCWSTR path, DWORD providerFlags, DWORD stateAction, HANDLE handle)
{
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    file.hFile = handle;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = stateAction;
    data.hWVTStateData = m_state;
    data.dwProvFlags = providerFlags;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    m_state = data.hWVTStateData;
    return result;
}

LONG CWinTrustFile::Verify(LPCWSTR path, DWORD providerFlags, DWORD stateAction, HANDLE file)
{
    Close();
    const LONG result = call(path, providerFlags, stateAction, file);
    if (stateAction == WTD_STATEACTION_VERIFY) {
        m_open = true;
        m_path = path;
        m_flags = providerFlags;
        m_file = file;
    }
    return result;
}

void CWinTrustFile::Close()
{
    if (!m_open) return;
    call(m_path.c_str(), m_flags, WTD_STATEACTION_CLOSE, m_file);
    m_state = nullptr;
    m_open = false;
}
