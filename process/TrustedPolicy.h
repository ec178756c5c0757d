// The signed policy file "trusted.js", which extends the built-in
// accepted-signer policy, and the process-wide cache of it.
//
// The file is UTF-16LE text (a byte-order mark is optional) signed with an
// Authenticode script signature ("// SIG //" lines) by the publishers'
// policy-signing certificate. Lines are trimmed of blanks and tabs; "[NAME]"
// opens a section, every other non-empty line belongs to the section above it:
//   [VER]  exactly one line, the policy's version (decimal)
//   [ORG]  accepted publisher names, one a line
//   [SER]  blocked certificate serial numbers (hex), one a line
//   [SHA]  accepted root thumbprints (40 hex digits), one a line; a line that
//          is not one takes no part in the comparison
// A section that is absent leaves its list missing, which is not the same as
// an empty one (see AcceptedSigners).
#pragma once

#include "common/Platform.h"

#include "process/SignerCheck.h"

#include <map>
#include <string>
#include <vector>

// The update signal: a global atom added by whichever process installs a
// newer policy file. Its presence tells every process that its cached copy
// may be stale.
inline constexpr wchar_t kPolicyUpdateAtom[] = L"67136527-5D6B-4AC9-865B-3E392E982420";
bool PolicyUpdateSignalled();

// One policy file's content.
struct CTrustedPolicy {
    DWORD version = 0;
    std::map<std::wstring, std::vector<std::wstring>> sections;
    bool hasNames = false;
    bool hasThumbprints = false;
    bool hasSerials = false;
    std::vector<std::wstring> names;
    std::vector<std::wstring> serials;
    std::vector<RootThumbprint> thumbprints;

    // The lists as the signer check takes them; valid while this object lives
    // unchanged.
    AcceptedSigners Signers();

private:
    std::vector<LPCWSTR> m_namePointers;
    std::vector<LPCWSTR> m_serialPointers;
};

// Reads the policy file at `path`: it must exist, carry exactly one signer
// whose certificate has the SHA-1 thumbprint `signer`, pass WinVerifyTrust,
// and hold exactly one [VER] line. It is read under a shared file lock.
// False, with `reason` saying why, when it cannot be used.
bool LoadTrustedPolicy(const std::wstring& path, const BYTE (&signer)[20], CTrustedPolicy& policy,
                       std::wstring& reason);

// The process-wide cache of the installed policy file. Reads take its slim
// reader/writer lock shared; loading, reloading and installing take it
// exclusive. Between processes the file itself is locked (shared while read,
// exclusive while replaced) and the update atom announces a newer file.
class CPolicyCache {
public:
    // `signer`: the thumbprint of the certificate that signs policy files.
    explicit CPolicyCache(const BYTE (&signer)[20]);

    // The installed file: the system drive's
    // "Program Files\Common Files\Tarsen\Platform\Core\trusted.js".
    std::wstring Path();
    const BYTE (&Signer() const)[20] { return m_signer; }

    bool IsLoaded();
    DWORD Version();
    // VerifySignedFile with the cached lists; false when nothing is cached.
    bool VerifyWithCached(LPCWSTR path);
    // Loads the installed file unless it is loaded already.
    bool Load();
    // Forgets the cached copy and loads the installed file again.
    bool Reload();
    // Installs `candidate` when it loads, its version is above
    // `builtInVersion` and above the cached one (if any): the file replaces
    // the installed one, the update atom is added and the cache reloaded.
    // True when it was installed and loaded. A replacement that fails is
    // scheduled for the next restart and gives false.
    bool Offer(const std::wstring& candidate, DWORD builtInVersion);

    // How many times this process has read a policy file's content from disk.
    DWORD Reads();

private:
    bool loadLocked();
    bool installLocked(const std::wstring& candidate);

    SRWLOCK m_lock = SRWLOCK_INIT;
    BYTE m_signer[20];
    std::wstring m_path;
    bool m_loaded = false;
    CTrustedPolicy m_policy;
    AcceptedSigners m_signers;  // points into m_policy; set when it is loaded
    DWORD m_reads = 0;
};
