// The signed policy file "trusted.js", which extends the built-in
// accepted-signer policy, and the process-wide cache of it.
//
// The file's form (UTF-16LE text, then exactly one "// SIG //" signature
// block) and its sections are read by PolicyText.h; only the text before the
// block counts:
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
// signature is checked by the program itself and by WinVerifyTrust on exactly
// those bytes (PolicySignature.h), and the same bytes are parsed, kept as the
// machine's verified copy and, for a candidate, installed.
//
// Nothing another process does to the file moves a verdict toward trust: a
// process that cannot read or verify the installed file judges with the copy
// of the last one verified on this machine (PolicyRecords.h); without a copy
// it trusts no file while the file is there but cannot be read, or cannot be
// used while the machine has installed a version above the built-in one.
#pragma once

#include "common/Platform.h"

#include "process/PolicyRecords.h"
#include "process/PolicyText.h"
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

// How long a policy file's byte-range lock (or an open without sharing) held
// by another process is waited for: a reader then goes on without the file,
// an install without replacing it.
inline constexpr DWORD kPolicyReadLockWaitMs = 2000;
inline constexpr DWORD kPolicyInstallLockWaitMs = 5000;
// Why a policy file locked for longer than `waitMs` is not used.
std::wstring LockedOutReason(DWORD waitMs);

// One policy file's content. Made once by LoadTrustedPolicy/ParsePolicyBytes
// and never changed after: the lists it hands out live as long as it does.
class CTrustedPolicy {
public:
    CTrustedPolicy() = default;
    CTrustedPolicy(const CTrustedPolicy&) = delete;
    CTrustedPolicy& operator=(const CTrustedPolicy&) = delete;

    DWORD version = 0;
    std::wstring source;  // where it was read: the installed file, or the machine's verified copy
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

// Judges policy-file bytes: the policy file's form, its signature (the
// program's own check and WinVerifyTrust, signed by the certificate with the
// SHA-1 thumbprint `signer`) and exactly one [VER] line. Null, with `reason`,
// when they cannot be used; `unavailable` (when given) tells that the
// signature could not be checked at all, which says nothing of the bytes.
PolicySnapshot ParsePolicyBytes(const std::vector<BYTE>& bytes, const BYTE (&signer)[20], std::wstring& reason,
                                bool* unavailable = nullptr);

// Reads the policy file at `path` (under a shared lock waited for at most
// kPolicyReadLockWaitMs) and judges its bytes as above.
PolicySnapshot LoadTrustedPolicy(const std::wstring& path, const BYTE (&signer)[20], std::wstring& reason);

// The machine's kept copy of the last verified policy file, judged as above
// but for WinVerifyTrust (the copy is only ever written after it, and needs
// no temporary folder: it is what judges when that folder cannot be used);
// null (with `reason` when one is kept) when there is none to use. `written`:
// as ReadPolicyCopy gives it.
PolicySnapshot LoadPolicyCopy(const BYTE (&signer)[20], std::wstring& reason, ULONGLONG* written = nullptr);

// The process-wide cache of the installed policy file.
//
// The installed file is read once, at the process's first verification, and
// its blocked serial numbers apply to every verification from then on. Whether
// its lists replace the built-in ones ("in use") is decided as before: from the
// first file the built-in policy refuses. A file that cannot be read or
// verified is replaced by the machine's kept copy; with none, the cache may
// refuse every file (Refusing) until a later read succeeds. A failed reload
// keeps the last good copy. The reader/writer lock guards only the pointer to
// the current copy: no file is read, locked or verified and no observer is
// called while it is held.
class CPolicyCache {
public:
    // `signer`: the thumbprint of the certificate that signs policy files;
    // `builtInVersion`: the built-in policy's version.
    CPolicyCache(const BYTE (&signer)[20], DWORD builtInVersion);
    CPolicyCache(const CPolicyCache&) = delete;
    CPolicyCache& operator=(const CPolicyCache&) = delete;

    // The installed file: the system drive's
    // "Program Files\Common Files\Tarsen\Platform\Core\trusted.js".
    std::wstring Path();
    const BYTE (&Signer() const)[20] { return m_signer; }

    // Reads the installed file unless this process has read it already; true
    // when this call read it.
    bool ReadOnce();
    // True when no file may be trusted: the installed file could not be read
    // (or not be used while the machine has installed a version above the
    // built-in one) and no copy of it is kept. It holds for the process, as
    // the file's own lists would have.
    bool Refusing();
    // Whether a good read keeps the machine's records (the copy and the
    // highest version). The support tool leaves them alone unless asked.
    void SetRecording(bool enabled) { m_recording = enabled; }
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
    // a good policy file whose version is above the built-in one, above the
    // copy in use, above the machine's highest installed version and above
    // the installed file's (read under this process's exclusive lock, or else
    // from the kept copy: without either nothing is installed). True when it
    // was installed and loaded. A replacement that fails, or whose lock is not
    // had in time, is scheduled for the next restart (and its version recorded
    // as the highest) and gives false. With `install` false nothing is
    // changed: what would be installed is only reported.
    bool Offer(const std::vector<BYTE>& candidate, const std::wstring& origin, bool install = true);

    // How many times this process has read the installed file from disk.
    DWORD Reads();

private:
    // One read of the installed file: the policy to judge with (the file's or
    // the kept copy's), or none; `refuse`: no file may be trusted.
    struct Read {
        PolicySnapshot policy;
        bool refuse = false;
    };
    Read readInstalled();
    void publish(const Read* read, bool inUse);
    bool installFile(const std::vector<BYTE>& bytes, DWORD version, const std::wstring& origin, bool install);

    SRWLOCK m_lock = SRWLOCK_INIT;
    BYTE m_signer[20];
    DWORD m_builtInVersion;
    PolicySnapshot m_installed;  // the last good read of the installed file (or of its copy)
    bool m_read = false;         // the installed file has been read
    bool m_refusing = false;     // it was read, and no file may be trusted
    bool m_inUse = false;        // m_installed replaces the built-in lists
    std::atomic<bool> m_recording{true};
    std::atomic<DWORD> m_reads{0};
};
