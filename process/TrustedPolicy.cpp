#include "common/Platform.h"

#include "process/TrustedPolicy.h"

#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "process/PolicySignature.h"
#include "process/TrustReport.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>

namespace {

constexpr wchar_t kInstalledRelative[] = L"Program Files\\Common Files\\Tarsen\\Platform\\Core\\trusted.js";
constexpr wchar_t kTemporaryName[] = L"trusted.tmp";
constexpr DWORD kLockRetryMs = 25;

// Records why a policy file is not used: a log line for the machine's
// administrator (not for a file that is simply not there: most machines have
// none) and a note for the support tool.
void Note(const std::wstring& path, const std::wstring& note, bool log = true)
{
    if (log) QEL_LOG(LOG_WARNING, L"Policy file %s: %s", path.c_str(), note.c_str());
    if (ITrustObserver* observer = TrustObserver()) observer->PolicyFileNote(path, note);
}

// A byte-range lock over a whole file, waited for at most `waitMs`, released by its end.
class FileLock {
public:
    FileLock(HANDLE file, bool exclusive, DWORD waitMs) : m_file(file)
    {
        if (!file || file == INVALID_HANDLE_VALUE) return;
        const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
        const ULONGLONG until = ::GetTickCount64() + waitMs;
        for (;;) {
            OVERLAPPED at{};
            if (::LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &at)) {
                m_locked = true;
                return;
            }
            const DWORD error = ::GetLastError();
            if ((error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) || ::GetTickCount64() >= until) return;
            ::Sleep(kLockRetryMs);
        }
    }
    ~FileLock() { Unlock(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Locked() const { return m_locked; }
    void Unlock()
    {
        OVERLAPPED at{};
        if (m_locked) ::UnlockFileEx(m_file, 0, MAXDWORD, MAXDWORD, &at);
        m_locked = false;
    }

private:
    HANDLE m_file;
    bool m_locked = false;
};

// Opens the policy file sharing everything (readers and the installer meet
// through byte-range locks); an open another process refuses by sharing
// nothing is tried again for at most `waitMs`. 0, or the error.
DWORD OpenPolicyFile(const std::wstring& path, DWORD waitMs, ScopedHandle& file)
{
    const ULONGLONG until = ::GetTickCount64() + waitMs;
    for (;;) {
        file.Reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        const DWORD error = file ? ERROR_SUCCESS : ::GetLastError();
        if (error != ERROR_SHARING_VIOLATION || ::GetTickCount64() >= until) return error;
        ::Sleep(kLockRetryMs);
    }
}

bool Absent(DWORD openError) { return openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND; }

// Why a file that is there could not be opened.
std::wstring OpenFailure(DWORD error, DWORD waitMs)
{
    return error == ERROR_SHARING_VIOLATION ? LockedOutReason(waitMs)
                                            : L"it cannot be opened (" + std::to_wstring(error) + L")";
}

// The file through `file`, from its start; a file larger than a policy file
// can be is read only as far as it takes to tell. False on a failed read.
bool ReadAll(HANDLE file, std::vector<BYTE>& bytes, std::wstring& reason)
{
    LARGE_INTEGER size{};
    LARGE_INTEGER start{};
    DWORD read = 0;
    if (::GetFileSizeEx(file, &size)) {
        const ULONGLONG length = static_cast<ULONGLONG>(size.QuadPart);
        bytes.resize(length > kMaxPolicyBytes ? kMaxPolicyBytes + 1 : static_cast<size_t>(length));
        if (::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
            ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size()) {
            return true;
        }
    }
    reason = L"it cannot be read (" + std::to_wstring(::GetLastError()) + L")";
    return false;
}

std::shared_ptr<CTrustedPolicy> ParseVerified(const std::vector<BYTE>& bytes, const BYTE (&signer)[20],
                                              std::wstring& reason, bool* unavailable, bool platform);

// What reading a policy file found.
enum class Found { Good, Absent, Unavailable, Refused };
struct LoadedFile {
    Found found = Found::Absent;
    PolicySnapshot policy;
    std::vector<BYTE> bytes;
    ULONGLONG written = 0;  // the file's last-write time
    std::wstring reason;
};

LoadedFile LoadFrom(const std::wstring& path, const BYTE (&signer)[20])
{
    LoadedFile load;
    ScopedHandle file;
    const DWORD error = OpenPolicyFile(path, kPolicyReadLockWaitMs, file);
    if (!file) {
        load.found = Absent(error) ? Found::Absent : Found::Unavailable;
        load.reason = Absent(error) ? L"it does not exist" : OpenFailure(error, kPolicyReadLockWaitMs);
        return load;
    }
    load.found = Found::Unavailable;
    {
        FileLock lock(file.Get(), false, kPolicyReadLockWaitMs);
        if (!lock.Locked()) {
            load.reason = LockedOutReason(kPolicyReadLockWaitMs);
            return load;
        }
        if (!ReadAll(file.Get(), load.bytes, load.reason)) return load;
        FILETIME written{};
        if (::GetFileTime(file.Get(), nullptr, nullptr, &written)) {
            load.written = static_cast<ULONGLONG>(written.dwHighDateTime) << 32 | written.dwLowDateTime;
        }
    }
    bool unavailable = false;
    std::shared_ptr<CTrustedPolicy> policy = ParseVerified(load.bytes, signer, load.reason, &unavailable, true);
    if (policy) policy->source = path;
    load.policy = policy;
    load.found = load.policy ? Found::Good : unavailable ? Found::Unavailable : Found::Refused;
    return load;
}

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

std::wstring CopyName() { return L"HKLM\\" + std::wstring(kPolicyRecordsKey) + L"\\" + kPolicyCopyValue; }

}  // namespace

bool PolicyUpdateSignalled() { return ::GlobalFindAtomW(kPolicyUpdateAtom) != 0; }

std::wstring LockedOutReason(DWORD waitMs)
{
    return L"it is locked by another process, not waited for longer than " + std::to_wstring(waitMs) + L" ms";
}

void CTrustedPolicy::Seal()
{
    const auto pointers = [](const std::vector<std::wstring>& list, std::vector<LPCWSTR>& out) {
        out.clear();
        for (const std::wstring& entry : list) out.push_back(entry.c_str());
        out.push_back(nullptr);
        return out.data();
    };
    m_signers = AcceptedSigners();
    if (hasNames) m_signers.publisherNames = pointers(names, m_namePointers);
    if (hasSerials) m_signers.blockedSerials = pointers(serials, m_serialPointers);
    if (hasThumbprints) {
        m_signers.rootThumbprints = thumbprints.data();
        m_signers.thumbprintCount = static_cast<DWORD>(thumbprints.size());
    }
}

namespace {

// ParsePolicyBytes, with or without WinVerifyTrust's part of the signature check.
std::shared_ptr<CTrustedPolicy> ParseVerified(const std::vector<BYTE>& bytes, const BYTE (&signer)[20],
                                              std::wstring& reason, bool* unavailable, bool platform)
{
    bool checkFailed = false;
    PolicyScript script;
    PolicySections parsed;
    CSignedMessage message;
    if (!SplitPolicyScript(bytes, script, reason)) return nullptr;
    if (!message.Decode(script.signature.data(), static_cast<DWORD>(script.signature.size()))) {
        reason = L"it carries no readable signature (" + HexCode(::GetLastError()) + L")";
        return nullptr;
    }
    if (!VerifyPolicySignature(message, bytes, script.signedBytes, signer, reason) ||
        (platform && !WinVerifyPolicy(bytes, reason, checkFailed)) || !ParsePolicySections(script.text, parsed, reason)) {
        if (unavailable) *unavailable = checkFailed;
        return nullptr;
    }
    auto policy = std::make_shared<CTrustedPolicy>();
    policy->version = parsed.version;
    policy->sections = std::move(parsed.sections);
    if (const auto org = policy->sections.find(L"ORG"); org != policy->sections.end()) {
        policy->hasNames = true;
        policy->names = org->second;
    }
    if (const auto ser = policy->sections.find(L"SER"); ser != policy->sections.end()) {
        policy->hasSerials = true;
        policy->serials = ser->second;
    }
    if (const auto sha = policy->sections.find(L"SHA"); sha != policy->sections.end()) {
        policy->hasThumbprints = true;
        for (const std::wstring& line : sha->second) {
            // A line that is not a thumbprint keeps its place with size 0: it matches nothing.
            RootThumbprint thumbprint;
            if (ParseThumbprintText(line, thumbprint.bytes)) thumbprint.size = sizeof(thumbprint.bytes);
            policy->thumbprints.push_back(thumbprint);
        }
    }
    policy->Seal();
    return policy;
}

}  // namespace

PolicySnapshot ParsePolicyBytes(const std::vector<BYTE>& bytes, const BYTE (&signer)[20], std::wstring& reason,
                                bool* unavailable)
{
    return ParseVerified(bytes, signer, reason, unavailable, true);
}

PolicySnapshot LoadTrustedPolicy(const std::wstring& path, const BYTE (&signer)[20], std::wstring& reason)
{
    LoadedFile load = LoadFrom(path, signer);
    reason = load.reason;
    return load.policy;
}

PolicySnapshot LoadPolicyCopy(const BYTE (&signer)[20], std::wstring& reason, ULONGLONG* written)
{
    std::vector<BYTE> bytes;
    if (!ReadPolicyCopy(bytes, written)) return nullptr;
    std::shared_ptr<CTrustedPolicy> policy = ParseVerified(bytes, signer, reason, nullptr, false);
    if (policy) policy->source = CopyName();
    return policy;
}

CPolicyCache::CPolicyCache(const BYTE (&signer)[20], DWORD builtInVersion) : m_builtInVersion(builtInVersion)
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
    LoadedFile load = LoadFrom(path, m_signer);
    if (load.found != Found::Absent) ++m_reads;
    if (load.policy) {
        if (m_recording) {
            KeepPolicyCopy(load.bytes, load.written);
            RaisePolicyVersionFloor(load.policy->version);
        }
        return {load.policy, false};
    }
    if (load.found != Found::Absent) Note(path, L"not used: " + load.reason);

    // Judged with the last policy file verified on this machine instead.
    std::wstring reason;
    if (PolicySnapshot copy = LoadPolicyCopy(m_signer, reason)) {
        QEL_LOG(LOG_WARNING, L"Policy file %s: judged with its verified copy of version %lu in %s", path.c_str(),
                static_cast<unsigned long>(copy->version), CopyName().c_str());
        if (ITrustObserver* observer = TrustObserver()) {
            observer->PolicyFileNote(path, L"judged with its verified copy of version " +
                                               std::to_wstring(copy->version) + L" in " + CopyName());
        }
        return {copy, false};
    }
    if (!reason.empty()) Note(CopyName(), L"not used: " + reason);

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
    if (ITrustObserver* observer = TrustObserver()) observer->PolicyFileNote(path, L"no file is trusted: " + why);
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
        Note(origin, L"not installed: " + reason);
        return false;
    }
    const PolicySnapshot inUse = InUse();
    if (offered->version <= m_builtInVersion || (inUse && offered->version <= inUse->version)) {
        Note(origin, L"not installed: its version " + std::to_wstring(offered->version) +
                         L" is not newer than the policy in use");
        return false;
    }
    DWORD floor = 0, type = REG_NONE;
    if (!ReadPolicyVersionFloor(floor, type)) {
        QEL_LOG(LOG_ERROR, L"Policy file %s not installed: %s\\%s holds no version number (type %lu)", origin.c_str(),
                kPolicyRecordsKey, kPolicyFloorValue, static_cast<unsigned long>(type));
        if (ITrustObserver* observer = TrustObserver()) {
            observer->PolicyFileNote(origin, L"not installed: the highest version this machine has installed cannot "
                                             L"be read");
        }
        return false;
    }
    if (offered->version <= floor) {
        Note(origin, L"not installed: its version " + std::to_wstring(offered->version) +
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
    const DWORD openError = OpenPolicyFile(installed, kPolicyInstallLockWaitMs, file);
    const bool absent = !file && Absent(openError);
    std::unique_ptr<FileLock> fileLock;
    bool underLock = false;
    DWORD present = 0;
    std::wstring why = absent ? std::wstring() : OpenFailure(openError, kPolicyInstallLockWaitMs);
    if (file) {
        fileLock = std::make_unique<FileLock>(file.Get(), true, kPolicyInstallLockWaitMs);
        std::vector<BYTE> current;
        bool unavailable = false;
        if (!fileLock->Locked()) {
            why = LockedOutReason(kPolicyInstallLockWaitMs);
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
            Note(origin, L"not installed: the version of " + installed + L" cannot be established (" + why + L") and " +
                             (copy ? L"its verified copy was read from an earlier file" : L"no verified copy of it is kept"));
            return false;
        }
        present = copy->version;
        of = L"its verified copy in " + CopyName();
    }
    if (version <= present) {
        Note(origin, L"not installed: its version " + std::to_wstring(version) + L" is not newer than version " +
                         std::to_wstring(present) + L" of " + of);
        return false;
    }
    if (!install) {
        Note(origin, L"would be installed (version " + std::to_wstring(version) + L"); nothing was changed", false);
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
            Note(origin, L"not installed: it cannot be copied to " + temporary + L" (" +
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
            Note(installed, notReplaced + L", and its replacement by " + temporary + L" cannot be scheduled (" +
                                std::to_wstring(::GetLastError()) + L")");
            return false;
        }
        RaisePolicyVersionFloor(version);
        Note(installed, notReplaced + L": " + temporary + L" replaces it at the next restart");
        return false;
    }
    RaisePolicyVersionFloor(version);
    ::GlobalAddAtomW(kPolicyUpdateAtom);
    KeepPolicyCopy(bytes, LastWriteTime(installed));
    QEL_LOG(LOG_INFORMATION, L"Policy file %s installed from %s", installed.c_str(), origin.c_str());
    if (ITrustObserver* observer = TrustObserver()) observer->PolicyFileNote(installed, L"installed from " + origin);
    return Reload();
}
