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
//
// A policy file is always judged from bytes this process holds: they are read
// once (under a shared file lock that is waited for a bounded time), their
// signature is checked on a private copy that nobody else can write, and the
// same bytes are parsed and, for a candidate, installed.
#pragma once

#include "common/Platform.h"

#include "process/SignerCheck.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The update signal: a global atom added by whichever process installs a
// newer policy file. Its presence tells every process that its cached copy
// may be stale.
inline constexpr wchar_t kPolicyUpdateAtom[] = L"67136527-5D6B-4AC9-865B-3E392E982420";
bool PolicyUpdateSignalled();

// The highest policy version ever installed on this machine, kept as a DWORD
// under HKLM\SOFTWARE\Tarsen\QEL (writable by administrators only): a
// candidate at or below it is never installed, also when the installed file
// is gone or damaged.
inline constexpr wchar_t kPolicyFloorValue[] = L"TrustedPolicyVersion";

// How long a policy file's byte-range lock held by another process is waited
// for: a reader then goes on without the file, an install schedules the
// replacement for the next restart.
inline constexpr DWORD kPolicyReadLockWaitMs = 2000;
inline constexpr DWORD kPolicyInstallLockWaitMs = 5000;
// Why a policy file locked for longer than `waitMs` is not used.
std::wstring LockedOutReason(DWORD waitMs);
// A policy file is a few lines; anything larger is not one.
inline constexpr DWORD kMaxPolicyBytes = 1024 * 1024;

// One policy file's content. Made once by LoadTrustedPolicy/ParsePolicyBytes
// and never changed after: the lists it hands out live as long as it does.
class CTrustedPolicy {
public:
    CTrustedPolicy() = default;
    CTrustedPolicy(const CTrustedPolicy&) = delete;
    CTrustedPolicy& operator=(const CTrustedPolicy&) = delete;

    DWORD version = 0;
    std::map<std::wstring, std::vector<std::wstring>> sections;
    bool hasNames = false;
    bool hasThumbprints = false;
    bool hasSerials = false;
    std::vector<std::wstring> names;
    std::vector<std::wstring> serials;
    std::vector<RootThumbprint> thumbprints;

    // The lists as the signer check takes them.
    const AcceptedSigners& Signers() const { return m_signers; }
    // Builds the lists; called once, when the content is complete.
    void Seal();

private:
    std::vector<LPCWSTR> m_namePointers;
    std::vector<LPCWSTR> m_serialPointers;
    AcceptedSigners m_signers;
};
using PolicySnapshot = std::shared_ptr<const CTrustedPolicy>;

// Judges policy-file bytes: exactly one signer, whose certificate has the
// SHA-1 thumbprint `signer`, WinVerifyTrust on a private copy of exactly these
// bytes, and exactly one [VER] line. Null, with `reason`, when they cannot be used.
PolicySnapshot ParsePolicyBytes(const std::vector<BYTE>& bytes, const BYTE (&signer)[20], std::wstring& reason);

// Reads the policy file at `path` (under a shared lock waited for at most
// kPolicyReadLockWaitMs) and judges its bytes as above.
PolicySnapshot LoadTrustedPolicy(const std::wstring& path, const BYTE (&signer)[20], std::wstring& reason);

// The process-wide cache of the installed policy file.
//
// The installed file is read once, at the process's first verification, and
// its blocked serial numbers apply to every verification from then on. Whether
// its lists replace the built-in ones ("in use") is decided as before: from the
// first file the built-in policy refuses. A failed reload keeps the last good
// copy. The reader/writer lock guards only the pointer to the current copy:
// no file is read, locked or verified and no observer is called while it is held.
class CPolicyCache {
public:
    // `signer`: the thumbprint of the certificate that signs policy files.
    explicit CPolicyCache(const BYTE (&signer)[20]);
    CPolicyCache(const CPolicyCache&) = delete;
    CPolicyCache& operator=(const CPolicyCache&) = delete;

    // The installed file: the system drive's
    // "Program Files\Common Files\Tarsen\Platform\Core\trusted.js".
    std::wstring Path();
    const BYTE (&Signer() const)[20] { return m_signer; }

    // Reads the installed file unless this process has tried already; true
    // when this call read it.
    bool ReadOnce();
    // The installed file as last read well (null: none), whether in use or not.
    PolicySnapshot Installed();
    // The copy in use instead of the built-in lists; null while there is none.
    PolicySnapshot InUse();
    bool IsLoaded() { return InUse() != nullptr; }
    DWORD Version();

    // Puts the installed file in use; reads it again first unless `reread` is
    // false and a read was already tried. False when there is no good copy.
    bool Load(bool reread = true);
    // Reads the installed file again and puts it in use; on failure the last
    // good copy stays (and false is returned).
    bool Reload();
    // Installs the candidate bytes (from `origin`, for messages) when they are
    // a good policy file whose version is above `builtInVersion`, above the
    // copy in use, above the installed file's and above the machine's highest
    // installed version. True when it was installed and loaded. A replacement
    // that fails, or whose lock is not had in time, is scheduled for the next
    // restart and gives false. With `install` false nothing is changed: what
    // would be installed is only reported.
    bool Offer(const std::vector<BYTE>& candidate, const std::wstring& origin, DWORD builtInVersion,
               bool install = true);

    // How many times this process has read the installed file from disk.
    DWORD Reads();

private:
    PolicySnapshot readInstalled();
    void publish(const PolicySnapshot& policy, bool inUse);
    bool installFile(const std::vector<BYTE>& bytes, DWORD version, const std::wstring& origin);

    SRWLOCK m_lock = SRWLOCK_INIT;
    BYTE m_signer[20];
    PolicySnapshot m_installed;  // the last good read of the installed file
    bool m_read = false;         // the first read has been tried
    bool m_inUse = false;        // m_installed replaces the built-in lists
    std::atomic<DWORD> m_reads{0};
};

// The machine's highest installed policy version (0: none recorded).
DWORD PolicyVersionFloor();
