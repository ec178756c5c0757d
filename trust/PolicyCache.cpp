#include "common/Platform.h"

#include "trust/PolicyCache.h"

#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "trust/PolicyFile.h"
#include "trust/PolicyRecords.h"
#include "trust/TrustReport.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>
#include <memory>

namespace {

using policy_file::Absent;
using policy_file::FileLock;
using policy_file::Found;
using policy_file::LoadedFile;
using policy_file::LoadFrom;
using policy_file::OpenFailure;
using policy_file::OpenPolicyFile;
using policy_file::ReadAll;

constexpr wchar_t kInstalledRelative[] = L"Program Files\\Common Files\\Tarsen\\Platform\\Core\\trusted.js";
constexpr wchar_t kTemporaryName[] = L"trusted.tmp";


// Holds the cache's slim reader/writer lock, shared or exclusive, for its scope.
template <bool Exclusive>
class SrwGuard {
public:
    explicit SrwGuard(SRWLOCK& lock) : m_lock(lock)
    {
        if (Exclusive) ::AcquireSRWLockExclusive(&m_lock);
        else ::AcquireSRWLockShared(&m_lock);
    }
    ~SrwGuard()
    {
        if (Exclusive) ::ReleaseSRWLockExclusive(&m_lock);
        else ::ReleaseSRWLockShared(&m_lock);
    }
    SrwGuard(const SrwGuard&) = delete;
    SrwGuard& operator=(const SrwGuard&) = delete;

private:
    SRWLOCK& m_lock;
};
using SharedLock = SrwGuard<false>;
using ExclusiveLock = SrwGuard<true>;

}  // namespace

bool PolicyUpdateSignalled() { return ::GlobalFindAtomW(kPolicyUpdateAtom) != 0; }

// Records why a policy file is not used: a log line for the machine's
// administrator (not for a file that is simply not there: most machines have
// none) and a note for the support tool.
void CPolicyCache::note(const std::wstring& path, const std::wstring& text, bool log) const
{
    if (log) QEL_LOG(LOG_WARNING, L"Policy file %s: %s", path.c_str(), text.c_str());
    if (m_observer) m_observer->PolicyFileNote(path, text);
}

CPolicyCache::CPolicyCache(const BYTE (&signer)[20], DWORD builtInVersion, ITrustObserver* observer, bool recording,
                           PolicyWaits waits)
    : m_builtInVersion(builtInVersion), m_observer(observer), m_recording(recording), m_waits(waits)
{
    std::memcpy(m_signer, signer, sizeof(m_signer));
}

std::wstring CPolicyCache::Path()
{
    wchar_t root[MAX_PATH] = L"";
    if (!::GetWindowsDirectoryW(root, MAX_PATH) || !::PathStripToRootW(root)) return std::wstring();
    std::wstring path(root);
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path + kInstalledRelative;
}

PolicySnapshot CPolicyCache::Installed()
{
    SharedLock lock(m_lock);
    return m_installed;
}

PolicySnapshot CPolicyCache::InUse()
{
    SharedLock lock(m_lock);
    return m_inUse ? m_installed : nullptr;
}

bool CPolicyCache::Refusing()
{
    SharedLock lock(m_lock);
    return m_refusing;
}

DWORD CPolicyCache::Version()
{
    const PolicySnapshot policy = InUse();
    return policy ? policy->version : 0;
}

DWORD CPolicyCache::Reads() { return m_reads; }

CPolicyCache::Read CPolicyCache::readInstalled()
{
    const std::wstring path = Path();
    LoadedFile load = LoadFrom(path, m_signer, m_waits.readMs);
    if (load.found != Found::Absent) ++m_reads;
    if (load.policy) {
        if (m_recording) {
            KeepPolicyCopy(load.bytes, load.written);
            RaisePolicyVersionFloor(load.policy->version);
        }
        return {load.policy, false};
    }
    if (load.found != Found::Absent) note(path, L"not used: " + load.reason);

    // Judged with the last policy file verified on this machine instead.
    std::wstring reason;
    if (PolicySnapshot copy = LoadPolicyCopy(m_signer, reason)) {
        QEL_LOG(LOG_WARNING, L"Policy file %s: judged with its verified copy of version %lu in %s", path.c_str(),
                static_cast<unsigned long>(copy->version), PolicyCopyName().c_str());
        if (m_observer) {
            m_observer->PolicyFileNote(path, L"judged with its verified copy of version " +
                                                 std::to_wstring(copy->version) + L" in " + PolicyCopyName());
        }
        return {copy, false};
    }
    if (!reason.empty()) note(PolicyCopyName(), L"not used: " + reason);

    // Without a copy, judging without the file's blocked list is refused
    // when the file is there but unreadable, or when the machine has
    // installed a policy newer than the built-in one.
    DWORD floor = 0, type = REG_NONE;
    const bool floorRead = ReadPolicyVersionFloor(floor, type);
    std::wstring why;
    if (load.found == Found::Unavailable) {
        why = L"it cannot be read and no verified copy of it is kept";
    } else if (load.found == Found::Refused && !floorRead) {
        why = L"it cannot be used, no verified copy of it is kept and the highest version this machine has "
              L"installed cannot be read";
    } else if (load.found == Found::Refused && floor > m_builtInVersion) {
        why = L"it cannot be used, no verified copy of it is kept and this machine has installed version " +
              std::to_wstring(floor);
    }
    if (why.empty()) return {};
    QEL_LOG(LOG_ERROR, L"Policy file %s: %s: no file is trusted until it can be used", path.c_str(), why.c_str());
    if (m_observer) m_observer->PolicyFileNote(path, L"no file is trusted: " + why);
    return {nullptr, true};
}

void CPolicyCache::publish(const Read* read, bool inUse)
{
    ExclusiveLock lock(m_lock);
    if (read) {
        if (read->policy) m_installed = read->policy;
        // A refusal stands only while there is nothing good to judge with;
        // like the file's blocked list, it holds for the rest of the process.
        m_refusing = read->refuse && !m_installed;
        m_read = true;
    }
    if (inUse && m_installed) m_inUse = true;
}

bool CPolicyCache::ReadOnce()
{
    {
        SharedLock lock(m_lock);
        if (m_read) return false;
    }
    const Read read = readInstalled();
    publish(&read, false);
    return true;
}

bool CPolicyCache::Load(bool reread)
{
    bool haveGood = false;
    {
        SharedLock lock(m_lock);
        if (m_inUse) return true;
        haveGood = m_installed != nullptr;
        if (!m_read) reread = true;
    }
    if (haveGood || !reread) {
        publish(nullptr, true);
    } else {
        const Read read = readInstalled();
        publish(&read, true);
    }
    return IsLoaded();
}

bool CPolicyCache::Reload()
{
    const Read read = readInstalled();
    publish(&read, true);
    return read.policy != nullptr;
}

bool CPolicyCache::Offer(const std::vector<BYTE>& candidate, const std::wstring& origin, bool install)
{
    std::wstring reason;
    const PolicySnapshot offered = ParsePolicyBytes(candidate, m_signer, reason);
    if (!offered) {
        note(origin, L"not installed: " + reason);
        return false;
    }
    const PolicySnapshot inUse = InUse();
    if (offered->version <= m_builtInVersion || (inUse && offered->version <= inUse->version)) {
        note(origin, L"not installed: its version " + std::to_wstring(offered->version) +
                         L" is not newer than the policy in use");
        return false;
    }
    DWORD floor = 0, type = REG_NONE;
    if (!ReadPolicyVersionFloor(floor, type)) {
        QEL_LOG(LOG_ERROR, L"Policy file %s not installed: %s\\%s holds no version number (type %lu)", origin.c_str(),
                kPolicyRecordsKey, kPolicyFloorValue, static_cast<unsigned long>(type));
        if (m_observer) {
            m_observer->PolicyFileNote(origin, L"not installed: the highest version this machine has installed cannot "
                                               L"be read");
        }
        return false;
    }
    if (offered->version <= floor) {
        note(origin, L"not installed: its version " + std::to_wstring(offered->version) +
                         L" is not newer than version " + std::to_wstring(floor) +
                         L", the highest this machine has installed");
        return false;
    }
    return installFile(candidate, offered->version, origin, install);
}

bool CPolicyCache::installFile(const std::vector<BYTE>& bytes, DWORD version, const std::wstring& origin, bool install)
{
    const std::wstring installed = Path();
    const std::wstring folder = installed.substr(0, installed.find_last_of(L'\\'));
    const std::wstring temporary = folder + L"\\" + kTemporaryName;

    // The installed file's version, from what it holds now under this
    // process's exclusive lock (other processes read it under a shared lock;
    // this one waits a bounded time for them and keeps them out while the
    // file is replaced), or else from the kept copy. Without either, nothing
    // is installed or scheduled: a lock must not hide a newer file.
    ScopedHandle file;
    const DWORD openError = OpenPolicyFile(installed, m_waits.installMs, file);
    const bool absent = !file && Absent(openError);
    std::unique_ptr<FileLock> fileLock;
    bool underLock = false;
    DWORD present = 0;
    std::wstring why = absent ? std::wstring() : OpenFailure(openError, m_waits.installMs);
    if (file) {
        fileLock = std::make_unique<FileLock>(file.Get(), true, m_waits.installMs);
        std::vector<BYTE> current;
        bool unavailable = false;
        if (!fileLock->Locked()) {
            why = LockedOutReason(m_waits.installMs);
        } else if (ReadAll(file.Get(), current, why)) {
            // A file that is not a good policy holds no version to keep.
            const PolicySnapshot held = ParsePolicyBytes(current, m_signer, why, &unavailable);
            underLock = !unavailable;
            if (held) present = held->version;
        }
    }
    std::wstring of = installed;
    if (!absent && !underLock) {
        // The copy tells the version only while the file is still the one it
        // was read from (its last-write time, readable however the file is held).
        std::wstring reason;
        ULONGLONG written = 0;
        const PolicySnapshot copy = LoadPolicyCopy(m_signer, reason, &written);
        if (!copy || written == 0 || written != LastWriteTime(installed)) {
            note(origin, L"not installed: the version of " + installed + L" cannot be established (" + why + L") and " +
                             (copy ? L"its verified copy was read from an earlier file" : L"no verified copy of it is kept"));
            return false;
        }
        present = copy->version;
        of = L"its verified copy in " + PolicyCopyName();
    }
    if (version <= present) {
        note(origin, L"not installed: its version " + std::to_wstring(version) + L" is not newer than version " +
                         std::to_wstring(present) + L" of " + of);
        return false;
    }
    if (!install) {
        note(origin, L"would be installed (version " + std::to_wstring(version) + L"); nothing was changed", false);
        return false;
    }

    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    ::SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
    {
        ScopedHandle copy(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!copy || !::WriteFile(copy.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size()) {
            note(origin, L"not installed: it cannot be copied to " + temporary + L" (" +
                             std::to_wstring(::GetLastError()) + L")");
            return false;
        }
    }
    BOOL replaced = FALSE;
    DWORD error = ERROR_LOCK_VIOLATION;
    if (absent || underLock) {
        // The installed file takes normal attributes: a read-only or hidden
        // policy must not freeze later updates.
        if (!absent) ::SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_NORMAL);
        replaced = !absent ? ::ReplaceFileW(installed.c_str(), temporary.c_str(), nullptr,
                                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                           : ::MoveFileW(temporary.c_str(), installed.c_str());
        error = ::GetLastError();
    }
    fileLock.reset();
    file.Reset();
    const std::wstring notReplaced = L"not replaced (" + (absent || underLock ? std::to_wstring(error) : why) + L")";
    if (!replaced) {
        // The old file stays; the new one takes its place at the next restart
        // (replacing it: the old file is still there then). From then on no
        // older candidate is installed or scheduled behind it.
        if (!::MoveFileExW(temporary.c_str(), installed.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
            note(installed, notReplaced + L", and its replacement by " + temporary + L" cannot be scheduled (" +
                                std::to_wstring(::GetLastError()) + L")");
            return false;
        }
        RaisePolicyVersionFloor(version);
        note(installed, notReplaced + L": " + temporary + L" replaces it at the next restart");
        return false;
    }
    RaisePolicyVersionFloor(version);
    ::GlobalAddAtomW(kPolicyUpdateAtom);
    KeepPolicyCopy(bytes, LastWriteTime(installed));
    QEL_LOG(LOG_INFORMATION, L"Policy file %s installed from %s", installed.c_str(), origin.c_str());
    if (m_observer) m_observer->PolicyFileNote(installed, L"installed from " + origin);
    return Reload();
}
