// The cache of the installed policy file "trusted.js" (its content:
// TrustedPolicy.h; how it is read: PolicyFile.h; what the machine remembers of
// it: PolicyRecords.h), and the install of a newer one. The program's is
// process-wide, held by its trust environment (TrustEnvironment.h).
#pragma once

#include "common/Platform.h"

#include "trust/PolicyFile.h"
#include "trust/TrustedPolicy.h"

#include <atomic>
#include <string>
#include <vector>

class ITrustObserver;

// The update signal: a global atom added by whichever process installs a
// newer policy file. Its presence tells every process that its cached copy
// may be stale.
inline constexpr wchar_t kPolicyUpdateAtom[] = L"67136527-5D6B-4AC9-865B-3E392E982420";
bool PolicyUpdateSignalled();

// A cache of the installed policy file, shared by all threads that judge
// with its environment.
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
    // `builtInVersion`: the built-in policy's version; `observer` (null:
    // nobody) hears why a policy file is not used, judged with its copy or
    // installed; `recording`: whether a good read keeps the machine's records
    // (the copy and the highest version), which the support tool leaves alone
    // unless asked; `waits`: how long another process's hold on the installed
    // file is waited for when reading it and when replacing it.
    CPolicyCache(const BYTE (&signer)[20], DWORD builtInVersion, ITrustObserver* observer = nullptr,
                 bool recording = true, PolicyWaits waits = {});
    CPolicyCache(const CPolicyCache&) = delete;
    CPolicyCache& operator=(const CPolicyCache&) = delete;

    // The installed file: the system drive's
    // "Program Files\Common Files\Tarsen\Platform\Core\trusted.js".
    static std::wstring Path();
    const BYTE (&Signer() const)[20] { return m_signer; }

    // Reads the installed file unless this process has read it already; true
    // when this call read it.
    bool ReadOnce();
    // True when no file may be trusted: the installed file could not be read
    // (or not be used while the machine has installed a version above the
    // built-in one) and no copy of it is kept. It holds for the process, as
    // the file's own lists would have.
    bool Refusing();
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
    [[nodiscard]] bool Reload();
    // Installs the candidate bytes (from `origin`, for messages) when they are
    // a good policy file whose version is above the built-in one, above the
    // copy in use, above the machine's highest installed version and above
    // the installed file's (read under this process's exclusive lock, or else
    // from the kept copy: without either nothing is installed). True when it
    // was installed and loaded. A replacement that fails, or whose lock is not
    // had in time, is scheduled for the next restart (and its version recorded
    // as the highest) and gives false. With `install` false nothing is
    // changed: what would be installed is only reported.
    [[nodiscard]] bool Offer(const std::vector<BYTE>& candidate, const std::wstring& origin, bool install = true);

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
    [[nodiscard]]
    bool installFile(const std::vector<BYTE>& bytes, DWORD version, const std::wstring& origin, bool install);
    void note(const std::wstring& path, const std::wstring& text, bool log = true) const;

    SRWLOCK m_lock = SRWLOCK_INIT;
    BYTE m_signer[20];
    DWORD m_builtInVersion;
    PolicySnapshot m_installed;  // the last good read of the installed file (or of its copy)
    bool m_read = false;         // the installed file has been read
    bool m_refusing = false;     // it was read, and no file may be trusted
    bool m_inUse = false;        // m_installed replaces the built-in lists
    ITrustObserver* const m_observer;
    const bool m_recording;
    const PolicyWaits m_waits;
    std::atomic<DWORD> m_reads{0};
};
