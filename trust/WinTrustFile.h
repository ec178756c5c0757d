// One WinVerifyTrust judgement of a file with the generic Authenticode action
// (WINTRUST_ACTION_GENERIC_VERIFY_V2): no UI, no revocation checks, the file
// by path (or, for VerifyTrustInMemory, bytes in memory). A verification
// made with WTD_STATEACTION_VERIFY keeps its state until Close (or the
// owner's end), as the platform requires.
#pragma once

#include "common/Platform.h"

#include <wincrypt.h>

#include <string>

// How the messages and certificates of a signature are encoded.
constexpr DWORD kSignatureEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// WinVerifyTrust as the signature checks call it, hash only and no revocation:
// WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_HASH_ONLY_FLAG | WTD_REVOCATION_CHECK_NONE | WTD_NO_POLICY_USAGE_FLAG.
constexpr DWORD kTrustProviderFlags = 0x1214;

class CWinTrustFile {
public:
    CWinTrustFile() = default;
    ~CWinTrustFile() { Close(); }
    CWinTrustFile(const CWinTrustFile&) = delete;
    CWinTrustFile& operator=(const CWinTrustFile&) = delete;

    // WinVerifyTrust's result for `path` (0: trusted). `stateAction` is
    // WTD_STATEACTION_VERIFY or WTD_STATEACTION_IGNORE; a state still held
    // from an earlier call is released first. `file`, when given, is an open
    // handle to that file: the platform then reads the file through it.
    // `subject`, when given, names the subject interface package that reads
    // the file, whatever its name.
    LONG Verify(LPCWSTR path, DWORD providerFlags, DWORD stateAction, HANDLE file = nullptr,
                const GUID* subject = nullptr);
    // Releases the state of a WTD_STATEACTION_VERIFY call (WTD_STATEACTION_CLOSE).
    void Close();

private:
    [[nodiscard]] LONG call(LPCWSTR path, DWORD providerFlags, DWORD stateAction, HANDLE file, const GUID* subject);

    std::wstring m_path;  // the closing call names the file it verified
    HANDLE m_file = nullptr;
    HANDLE m_state = nullptr;
    DWORD m_flags = 0;
    const GUID* m_subject = nullptr;
    bool m_open = false;
};

// WinVerifyTrust's result (0: trusted) for `size` bytes in memory, read by the
// subject interface package `subject` (WTD_CHOICE_BLOB); `name` is shown for
// them. No state is kept.
[[nodiscard]]
LONG VerifyTrustInMemory(const GUID& subject, LPCWSTR name, const BYTE* data, DWORD size, DWORD providerFlags);
