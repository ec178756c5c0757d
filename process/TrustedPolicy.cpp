#include "common/Platform.h"

#include "process/TrustedPolicy.h"

#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "process/TrustReport.h"
#include "process/WinTrustFile.h"

#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <wintrust.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t kInstalledRelative[] = L"Program Files\\Common Files\\Tarsen\\Platform\\Core\\trusted.js";
constexpr wchar_t kTemporaryName[] = L"trusted.tmp";
constexpr wchar_t kQelKey[] = L"SOFTWARE\\Tarsen\\QEL";
// Only the local system, administrators and the account that makes it (the
// owner: a support tool run without elevation) may touch a private copy's folder.
constexpr wchar_t kPrivateFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)";
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

// A copy of policy bytes in a fresh folder that only the system and
// administrators may write, under a name that did not exist before, held open
// without write or delete sharing while it is judged. Removed by its end.
class PrivateCopy {
public:
    explicit PrivateCopy(const std::vector<BYTE>& bytes)
    {
        static std::atomic<unsigned> serial{0};
        wchar_t temp[MAX_PATH];
        const DWORD n = ::GetTempPathW(MAX_PATH, temp);
        if (n == 0 || n >= MAX_PATH) return;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateFolderAccess, SDDL_REVISION_1,
                                                                   &descriptor, nullptr)) {
            return;
        }
        ScopedLocalMem descriptorMemory(descriptor);
        SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
        for (int attempt = 0; attempt < 16 && m_folder.empty(); ++attempt) {
            wchar_t name[64];
            _snwprintf(name, std::size(name), L"qelpolicy-%lx-%llx-%x", ::GetCurrentProcessId(),
                       static_cast<unsigned long long>(::GetTickCount64()), serial++);
            const std::wstring folder = std::wstring(temp) + name;
            if (::CreateDirectoryW(folder.c_str(), &security)) m_folder = folder;
        }
        if (m_folder.empty()) return;
        m_path = m_folder + L"\\trusted.js";  // policy scripts are recognised by their extension
        {
            ScopedHandle file(::CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
            DWORD written = 0;
            if (!file || !::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                written != bytes.size()) {
                return;
            }
        }
        // Read back through a handle that keeps writers out while it is judged.
        m_held.Reset(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        std::vector<BYTE> back(bytes.size() + 1);
        DWORD read = 0;
        m_ready = m_held && ::ReadFile(m_held.Get(), back.data(), static_cast<DWORD>(back.size()), &read, nullptr) &&
                  read == bytes.size() && std::memcmp(back.data(), bytes.data(), bytes.size()) == 0;
    }
    ~PrivateCopy()
    {
        m_held.Reset();
        if (!m_path.empty()) ::DeleteFileW(m_path.c_str());
        if (!m_folder.empty()) ::RemoveDirectoryW(m_folder.c_str());
    }
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;
    bool Ready() const { return m_ready; }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_folder;
    std::wstring m_path;
    ScopedHandle m_held;
    bool m_ready = false;
};

// The policy-file signature check: exactly one signer, whose certificate is
// the policy-signing one, and WinVerifyTrust as the signer check calls it.
bool CheckSignature(const std::wstring& path, const BYTE (&signer)[20], std::wstring& reason)
{
    ScopedCertStore store;
    ScopedCryptMsg message;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.Put(),
                            message.Put(), nullptr)) {
        reason = L"it carries no readable signature (" + HexCode(::GetLastError()) + L")";
        return false;
    }
    DWORD count = 0;
    DWORD size = sizeof(count);
    if (!::CryptMsgGetParam(message.Get(), CMSG_SIGNER_COUNT_PARAM, 0, &count, &size) || count != 1) {
        reason = L"it must have exactly one signer, it has " + std::to_wstring(count);
        return false;
    }
    // The signer's certificate, by the issuer and serial number its signer info names.
    size = 0;
    ::CryptMsgGetParam(message.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size);
    std::vector<BYTE> info(size);
    ScopedCertContext cert;
    if (size > 0 && ::CryptMsgGetParam(message.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size)) {
        cert.Reset(::CertGetSubjectCertificateFromStore(store.Get(), kSignatureEncoding,
                                                        reinterpret_cast<CERT_INFO*>(info.data())));
    }
    if (!cert) {
        reason = L"its signer's certificate is not in the signature";
        return false;
    }
    BYTE hash[20];
    DWORD hashSize = sizeof(hash);
    if (!::CertGetCertificateContextProperty(cert.Get(), CERT_SHA1_HASH_PROP_ID, hash, &hashSize) ||
        hashSize != sizeof(hash) || std::memcmp(hash, signer, sizeof(hash)) != 0) {
        reason = L"it is not signed by the policy-signing certificate";
        return false;
    }
    CWinTrustFile trust;
    const LONG result = trust.Verify(path.c_str(), kTrustProviderFlags, WTD_STATEACTION_IGNORE);
    if (result != 0) {
        reason = L"WinVerifyTrust refuses it (" + HexCode(static_cast<DWORD>(result)) + L")";
        return false;
    }
    return true;
}

// The bytes as UTF-16LE text, with or without its byte-order mark.
bool DecodeText(const std::vector<BYTE>& bytes, std::wstring& text, std::wstring& reason)
{
    if (bytes.size() > kMaxPolicyBytes || bytes.size() % 2 != 0) {
        reason = L"it cannot be read as UTF-16 text";
        return false;
    }
    std::wstring content(bytes.size() / 2, L'\0');
    if (!bytes.empty()) std::memcpy(content.data(), bytes.data(), bytes.size());
    text = !content.empty() && content[0] == 0xFEFF ? content.substr(1) : content;
    return true;
}

bool HexDigit(wchar_t c, BYTE& value)
{
    if (c >= L'0' && c <= L'9') value = static_cast<BYTE>(c - L'0');
    else if (c >= L'a' && c <= L'f') value = static_cast<BYTE>(c - L'a' + 10);
    else if (c >= L'A' && c <= L'F') value = static_cast<BYTE>(c - L'A' + 10);
    else return false;
    return true;
}

// Two hex digits a byte; anything that is not a 20-byte hex number is kept
// with size 0, so it matches nothing but still counts as an entry.
RootThumbprint ParseThumbprint(const std::wstring& line)
{
    RootThumbprint thumbprint;
    if (line.size() != 2 * sizeof(thumbprint.bytes)) return thumbprint;
    for (size_t i = 0; i < sizeof(thumbprint.bytes); ++i) {
        BYTE high = 0;
        BYTE low = 0;
        if (!HexDigit(line[2 * i], high) || !HexDigit(line[2 * i + 1], low)) return RootThumbprint{};
        thumbprint.bytes[i] = static_cast<BYTE>(high << 4 | low);
    }
    thumbprint.size = sizeof(thumbprint.bytes);
    return thumbprint;
}

bool Parse(const std::wstring& text, CTrustedPolicy& policy, std::wstring& reason)
{
    std::vector<std::wstring>* section = nullptr;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        const size_t first = line.find_first_not_of(L" \t");
        if (first == std::wstring::npos) continue;
        line = line.substr(first, line.find_last_not_of(L" \t") - first + 1);
        if (line.rfind(L"// SIG //", 0) == 0) continue;  // the signature, not data
        if (line.size() >= 2 && line.front() == L'[' && line.back() == L']') {
            section = &policy.sections[line.substr(1, line.size() - 2)];
        } else if (section) {
            section->push_back(line);
        }
    }

    const auto version = policy.sections.find(L"VER");
    if (version == policy.sections.end() || version->second.size() != 1) {
        reason = L"its [VER] section must hold exactly one line";
        return false;
    }
    const std::wstring& number = version->second.front();
    wchar_t* rest = nullptr;
    errno = 0;
    const unsigned long value = std::wcstoul(number.c_str(), &rest, 10);
    if (number.find_first_not_of(L"0123456789") != std::wstring::npos || *rest || errno == ERANGE ||
        value > MAXDWORD) {
        reason = L"its version \"" + number + L"\" is not a decimal number";
        return false;
    }
    policy.version = static_cast<DWORD>(value);

    if (const auto org = policy.sections.find(L"ORG"); org != policy.sections.end()) {
        policy.hasNames = true;
        policy.names = org->second;
    }
    if (const auto ser = policy.sections.find(L"SER"); ser != policy.sections.end()) {
        policy.hasSerials = true;
        policy.serials = ser->second;
    }
    if (const auto sha = policy.sections.find(L"SHA"); sha != policy.sections.end()) {
        policy.hasThumbprints = true;
        for (const std::wstring& line : sha->second) policy.thumbprints.push_back(ParseThumbprint(line));
    }
    return true;
}

// The whole file through `file`, from its start.
bool ReadAll(HANDLE file, std::vector<BYTE>& bytes, std::wstring& reason)
{
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart > kMaxPolicyBytes) {
        reason = L"it cannot be read as UTF-16 text";
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ||
        !::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()) {
        reason = L"it cannot be read (" + std::to_wstring(::GetLastError()) + L")";
        return false;
    }
    return true;
}

ScopedHandle OpenPolicyFile(const std::wstring& path)
{
    return ScopedHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void RaiseVersionFloor(DWORD version)
{
    if (version <= PolicyVersionFloor()) return;
    ScopedRegKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kQelKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                       nullptr, key.Put(), nullptr);
    if (status == ERROR_SUCCESS) {
        status = ::RegSetValueExW(key.Get(), kPolicyFloorValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&version),
                                  sizeof(version));
    }
    if (status != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Policy version %lu not recorded in %s\\%s (%ld)", static_cast<unsigned long>(version),
                kQelKey, kPolicyFloorValue, static_cast<long>(status));
    }
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

}  // namespace

bool PolicyUpdateSignalled() { return ::GlobalFindAtomW(kPolicyUpdateAtom) != 0; }

std::wstring LockedOutReason(DWORD waitMs)
{
    return L"it is locked by another process, not waited for longer than " + std::to_wstring(waitMs) + L" ms";
}

DWORD PolicyVersionFloor()
{
    // The native view, as the framework's 64-bit programs see it.
    ScopedRegKey key;
    DWORD version = 0;
    DWORD size = sizeof(version);
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kQelKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Put()) != ERROR_SUCCESS ||
        ::RegGetValueW(key.Get(), nullptr, kPolicyFloorValue, RRF_RT_REG_DWORD, nullptr, &version, &size) !=
            ERROR_SUCCESS) {
        return 0;
    }
    return version;
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

PolicySnapshot ParsePolicyBytes(const std::vector<BYTE>& bytes, const BYTE (&signer)[20], std::wstring& reason)
{
    std::wstring text;
    if (!DecodeText(bytes, text, reason)) return nullptr;
    {
        PrivateCopy copy(bytes);
        if (!copy.Ready()) {
            reason = L"no private copy could be made to check its signature (" + std::to_wstring(::GetLastError()) + L")";
            return nullptr;
        }
        if (!CheckSignature(copy.Path(), signer, reason)) return nullptr;
    }
    auto policy = std::make_shared<CTrustedPolicy>();
    if (!Parse(text, *policy, reason)) return nullptr;
    policy->Seal();
    return policy;
}

namespace {

// LoadTrustedPolicy, telling whether the file was there at all.
PolicySnapshot LoadFrom(const std::wstring& path, const BYTE (&signer)[20], std::wstring& reason, bool& exists)
{
    const ScopedHandle file = OpenPolicyFile(path);
    const DWORD error = ::GetLastError();
    exists = file || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND);
    if (!file) {
        reason = exists ? L"it cannot be opened (" + std::to_wstring(error) + L")" : std::wstring(L"it does not exist");
        return nullptr;
    }
    std::vector<BYTE> bytes;
    {
        FileLock lock(file.Get(), false, kPolicyReadLockWaitMs);
        if (!lock.Locked()) {
            reason = LockedOutReason(kPolicyReadLockWaitMs);
            return nullptr;
        }
        if (!ReadAll(file.Get(), bytes, reason)) return nullptr;
    }
    return ParsePolicyBytes(bytes, signer, reason);
}

}  // namespace

PolicySnapshot LoadTrustedPolicy(const std::wstring& path, const BYTE (&signer)[20], std::wstring& reason)
{
    bool exists = false;
    return LoadFrom(path, signer, reason, exists);
}

CPolicyCache::CPolicyCache(const BYTE (&signer)[20]) { std::memcpy(m_signer, signer, sizeof(m_signer)); }

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

DWORD CPolicyCache::Version()
{
    const PolicySnapshot policy = InUse();
    return policy ? policy->version : 0;
}

DWORD CPolicyCache::Reads() { return m_reads; }

PolicySnapshot CPolicyCache::readInstalled()
{
    const std::wstring path = Path();
    std::wstring reason;
    bool exists = false;
    PolicySnapshot policy = LoadFrom(path, m_signer, reason, exists);
    if (exists) ++m_reads;
    if (!policy) Note(path, L"not used: " + reason, exists);
    return policy;
}

void CPolicyCache::publish(const PolicySnapshot& policy, bool inUse)
{
    ExclusiveLock lock(m_lock);
    m_read = true;
    if (policy) m_installed = policy;
    if (inUse && m_installed) m_inUse = true;
}

bool CPolicyCache::ReadOnce()
{
    {
        SharedLock lock(m_lock);
        if (m_read) return false;
    }
    publish(readInstalled(), false);
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
    publish(haveGood || !reread ? nullptr : readInstalled(), true);
    return IsLoaded();
}

bool CPolicyCache::Reload()
{
    const PolicySnapshot policy = readInstalled();
    publish(policy, true);
    return policy != nullptr;
}

bool CPolicyCache::Offer(const std::vector<BYTE>& candidate, const std::wstring& origin, DWORD builtInVersion,
                         bool install)
{
    std::wstring reason;
    const PolicySnapshot offered = ParsePolicyBytes(candidate, m_signer, reason);
    if (!offered) {
        Note(origin, L"not installed: " + reason);
        return false;
    }
    const PolicySnapshot inUse = InUse();
    const DWORD floor = PolicyVersionFloor();
    if (offered->version <= builtInVersion || (inUse && offered->version <= inUse->version)) {
        Note(origin, L"not installed: its version " + std::to_wstring(offered->version) +
                         L" is not newer than the policy in use");
        return false;
    }
    if (offered->version <= floor) {
        Note(origin, L"not installed: its version " + std::to_wstring(offered->version) +
                         L" is not newer than version " + std::to_wstring(floor) +
                         L", the highest this machine has installed");
        return false;
    }
    if (!install) {
        const PolicySnapshot present = LoadTrustedPolicy(Path(), m_signer, reason);
        Note(origin, present && present->version >= offered->version
                         ? L"would not be installed: its version " + std::to_wstring(offered->version) +
                               L" is not newer than version " + std::to_wstring(present->version) + L" of " + Path()
                         : L"would be installed (version " + std::to_wstring(offered->version) +
                               L"); nothing was changed",
             false);
        return false;
    }
    return installFile(candidate, offered->version, origin);
}

bool CPolicyCache::installFile(const std::vector<BYTE>& bytes, DWORD version, const std::wstring& origin)
{
    const std::wstring installed = Path();
    const std::wstring folder = installed.substr(0, installed.find_last_of(L'\\'));
    const std::wstring temporary = folder + L"\\" + kTemporaryName;

    // Other processes read the installed file under a shared lock; this one
    // waits a bounded time for them and keeps them out while the file is
    // replaced. Under that lock the installed file's own version is judged
    // from what it holds now, not from what this process remembers.
    ScopedHandle file = OpenPolicyFile(installed);
    std::unique_ptr<FileLock> fileLock;
    bool lockedOut = false;
    if (file) {
        fileLock = std::make_unique<FileLock>(file.Get(), true, kPolicyInstallLockWaitMs);
        lockedOut = !fileLock->Locked();
        std::vector<BYTE> current;
        std::wstring reason;
        PolicySnapshot present;
        if (!lockedOut && ReadAll(file.Get(), current, reason)) {
            present = ParsePolicyBytes(current, m_signer, reason);
        }
        if (present && present->version >= version) {
            Note(origin, L"not installed: its version " + std::to_wstring(version) + L" is not newer than version " +
                             std::to_wstring(present->version) + L" of " + installed);
            return false;
        }
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
    if (!lockedOut) {
        // The installed file takes normal attributes: a read-only or hidden
        // policy must not freeze later updates.
        const bool present = ::PathFileExistsW(installed.c_str()) != FALSE;
        if (present) ::SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_NORMAL);
        replaced = present ? ::ReplaceFileW(installed.c_str(), temporary.c_str(), nullptr,
                                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                           : ::MoveFileW(temporary.c_str(), installed.c_str());
        error = ::GetLastError();
    }
    fileLock.reset();
    file.Reset();
    if (!replaced) {
        // The old file stays; the new one takes its place at the next restart
        // (replacing it: the old file is still there then).
        ::MoveFileExW(temporary.c_str(), installed.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
        Note(installed, L"not replaced (" + (lockedOut ? LockedOutReason(kPolicyInstallLockWaitMs) : std::to_wstring(error)) +
                            L"): " + temporary + L" replaces it at the next restart");
        return false;
    }
    ::GlobalAddAtomW(kPolicyUpdateAtom);
    RaiseVersionFloor(version);
    QEL_LOG(LOG_INFORMATION, L"Policy file %s installed from %s", installed.c_str(), origin.c_str());
    if (ITrustObserver* observer = TrustObserver()) observer->PolicyFileNote(installed, L"installed from " + origin);
    return Reload();
}
