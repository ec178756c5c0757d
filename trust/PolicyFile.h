// Reading the installed policy file the way every process of the machine
// meets it: opened sharing everything (readers and the installer meet through
// byte-range locks), read under a shared lock over the whole file and judged
// from the bytes read. A lock or an open without sharing held by another
// process is waited for a bounded time only.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "trust/TrustedPolicy.h"

#include <string>
#include <vector>

// How long a policy file's byte-range lock (or an open without sharing) held
// by another process is waited for: a reader then goes on without the file,
// an install without replacing it.
inline constexpr DWORD kPolicyReadLockWaitMs = 2000;
inline constexpr DWORD kPolicyInstallLockWaitMs = 5000;
// The two bounds a trust environment waits with. The program's are the ones
// above; a test that replays files held for longer than any run shortens them.
struct PolicyWaits {
    DWORD readMs = kPolicyReadLockWaitMs;
    DWORD installMs = kPolicyInstallLockWaitMs;
};
// Why a policy file locked for longer than `waitMs` is not used.
std::wstring LockedOutReason(DWORD waitMs);

namespace policy_file {

// A byte-range lock over a whole file, waited for at most `waitMs`, released by
// its end. No file (null, as owners give it out) is never locked.
class FileLock {
public:
    FileLock(HANDLE file, bool exclusive, DWORD waitMs);
    ~FileLock() { Unlock(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Locked() const { return m_locked; }
    void Unlock();

private:
    HANDLE m_file;
    bool m_locked = false;
};

// Opens the policy file sharing everything; an open another process refuses
// by sharing nothing is tried again for at most `waitMs`. 0, or the error.
[[nodiscard]] DWORD OpenPolicyFile(const std::wstring& path, DWORD waitMs, ScopedHandle& file);

// The open failed because there is no such file.
bool Absent(DWORD openError);

// Why a file that is there could not be opened.
std::wstring OpenFailure(DWORD error, DWORD waitMs);

// The file through `file`, from its start; a file larger than a policy file
// can be is read only as far as it takes to tell. False on a failed read.
[[nodiscard]] bool ReadAll(HANDLE file, std::vector<BYTE>& bytes, std::wstring& reason);

// What reading a policy file found.
enum class Found { Good, Absent, Unavailable, Refused };
struct LoadedFile {
    Found found = Found::Absent;
    PolicySnapshot policy;
    std::vector<BYTE> bytes;
    ULONGLONG written = 0;  // the file's last-write time
    std::wstring reason;
};

// Reads the policy file at `path` under a shared lock (waited for at most
// `waitMs`) and judges its bytes with ParsePolicyBytes.
LoadedFile LoadFrom(const std::wstring& path, const BYTE (&signer)[20], DWORD waitMs = kPolicyReadLockWaitMs);

}  // namespace policy_file

// LoadFrom's policy, or null with `reason`.
PolicySnapshot LoadTrustedPolicy(const std::wstring& path, const BYTE (&signer)[20], std::wstring& reason);
