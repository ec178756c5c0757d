#include "common/Platform.h"

#include "trust/WinTrustFile.h"

#include <softpub.h>
#include <wintrust.h>

namespace {

// WinVerifyTrust with the generic Authenticode action, no UI, no revocation
// checks, for the subject `object` of form `choice`.
LONG GenericVerify(DWORD choice, void* object, DWORD providerFlags, DWORD stateAction, HANDLE& state)
{
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = choice;
    if (choice == WTD_CHOICE_BLOB) data.pBlob = static_cast<WINTRUST_BLOB_INFO*>(object);
    else data.pFile = static_cast<WINTRUST_FILE_INFO*>(object);
    data.dwStateAction = stateAction;
    data.hWVTStateData = state;
    data.dwProvFlags = providerFlags;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    state = data.hWVTStateData;
    return result;
}

}  // namespace

LONG CWinTrustFile::call(LPCWSTR path, DWORD providerFlags, DWORD stateAction, HANDLE handle, const GUID* subject)
{
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    file.hFile = handle;
    file.pgKnownSubject = const_cast<GUID*>(subject);
    return GenericVerify(WTD_CHOICE_FILE, &file, providerFlags, stateAction, m_state);
}

LONG CWinTrustFile::Verify(LPCWSTR path, DWORD providerFlags, DWORD stateAction, HANDLE file, const GUID* subject)
{
    Close();
    const LONG result = call(path, providerFlags, stateAction, file, subject);
    if (stateAction == WTD_STATEACTION_VERIFY) {
        m_open = true;
        m_path = path;
        m_flags = providerFlags;
        m_file = file;
        m_subject = subject;
    }
    return result;
}

void CWinTrustFile::Close()
{
    if (!m_open) return;
    // Only the state is let go: the verdict was given when it was opened.
    static_cast<void>(call(m_path.c_str(), m_flags, WTD_STATEACTION_CLOSE, m_file, m_subject));
    m_state = nullptr;
    m_open = false;
}

LONG VerifyTrustInMemory(const GUID& subject, LPCWSTR name, const BYTE* data, DWORD size, DWORD providerFlags)
{
    WINTRUST_BLOB_INFO blob{};
    blob.cbStruct = sizeof(blob);
    blob.gSubject = subject;
    blob.pcwszDisplayName = name;
    blob.cbMemObject = size;
    blob.pbMemObject = const_cast<BYTE*>(data);
    HANDLE state = nullptr;
    return GenericVerify(WTD_CHOICE_BLOB, &blob, providerFlags, WTD_STATEACTION_IGNORE, state);
}
