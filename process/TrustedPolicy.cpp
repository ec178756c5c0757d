#include "common/Platform.h"

#include "process/TrustedPolicy.h"

#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "process/TrustReport.h"
#include "process/WinTrustFile.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <wintrust.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr wchar_t kInstalledRelative[] = L"Program Files\\Common Files\\Tarsen\\Platform\\Core\\trusted.js";
constexpr wchar_t kTemporaryName[] = L"trusted.tmp";
// WinVerifyTrust as the signer check calls it (hash only, no revocation).
constexpr DWORD kFileProviderFlags = 0x1214;
// A policy file is a few lines; anything this large is not one.
constexpr DWORD kMaxPolicyBytes = 1024 * 1024;

// Records why a policy file is not used: a log line for the machine's
// administrator (not for a file that is simply not there: most machines have
// none) and a note for the support tool.
void Note(const std::wstring& path, const std::wstring& note, bool log = true)
{
    if (log) QEL_LOG(LOG_WARNING, L"Policy file %s: %s", path.c_str(), note.c_str());
    if (ITrustObserver* observer = TrustObserver()) observer->PolicyFileNote(path, note);
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

// A byte-range lock over a whole file, released by its end.
class FileLock {
public:
    FileLock(HANDLE file, DWORD flags) : m_file(file)
    {
        m_locked = file && file != INVALID_HANDLE_VALUE && ::LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &m_at);
    }
    ~FileLock() { Unlock(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Locked() const { return m_locked; }
    void Unlock()
    {
        if (m_locked) ::UnlockFileEx(m_file, 0, MAXDWORD, MAXDWORD, &m_at);
        m_locked = false;
    }

private:
    HANDLE m_file;
    OVERLAPPED m_at{};
    bool m_locked = false;
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
        cert.Reset(::CertGetSubjectCertificateFromStore(store.Get(), kEncoding,
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
    const LONG result = trust.Verify(path.c_str(), kFileProviderFlags, WTD_STATEACTION_IGNORE);
    if (result != 0) {
        reason = L"WinVerifyTrust refuses it (" + HexCode(static_cast<DWORD>(result)) + L")";
        return false;
    }
    return true;
}

// The file's text, read under a shared lock; UTF-16LE with or without its mark.
bool ReadText(const std::wstring& path, std::wstring& text, std::wstring& reason)
{
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        reason = L"it cannot be opened (" + std::to_wstring(::GetLastError()) + L")";
        return false;
    }
    FileLock lock(file.Get(), 0);
    LARGE_INTEGER size{};
    if (!lock.Locked() || !::GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxPolicyBytes ||
        size.QuadPart % 2 != 0) {
        reason = L"it cannot be read as UTF-16 text";
        return false;
    }
    std::wstring content(static_cast<size_t>(size.QuadPart / 2), L'\0');
    DWORD read = 0;
    if (!::ReadFile(file.Get(), content.data(), static_cast<DWORD>(size.QuadPart), &read, nullptr) ||
        read != size.QuadPart) {
        reason = L"it cannot be read (" + std::to_wstring(::GetLastError()) + L")";
        return false;
    }
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

}  // namespace

bool PolicyUpdateSignalled() { return ::GlobalFindAtomW(kPolicyUpdateAtom) != 0; }

AcceptedSigners CTrustedPolicy::Signers()
{
    const auto pointers = [](const std::vector<std::wstring>& list, std::vector<LPCWSTR>& out) {
        out.clear();
        for (const std::wstring& entry : list) out.push_back(entry.c_str());
        out.push_back(nullptr);
        return out.data();
    };
    AcceptedSigners signers;
    if (hasNames) signers.publisherNames = pointers(names, m_namePointers);
    if (hasSerials) signers.blockedSerials = pointers(serials, m_serialPointers);
    if (hasThumbprints) {
        signers.rootThumbprints = thumbprints.data();
        signers.thumbprintCount = static_cast<DWORD>(thumbprints.size());
    }
    return signers;
}

bool LoadTrustedPolicy(const std::wstring& path, const BYTE (&signer)[20], CTrustedPolicy& policy,
                       std::wstring& reason)
{
    policy = CTrustedPolicy();
    if (!::PathFileExistsW(path.c_str())) {
        reason = L"it does not exist";
        return false;
    }
    std::wstring text;
    if (!CheckSignature(path, signer, reason) || !ReadText(path, text, reason) || !Parse(text, policy, reason)) {
        policy = CTrustedPolicy();
        return false;
    }
    return true;
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

bool CPolicyCache::IsLoaded()
{
    SharedLock lock(m_lock);
    return m_loaded;
}

DWORD CPolicyCache::Version()
{
    SharedLock lock(m_lock);
    return m_loaded ? m_policy.version : 0;
}

DWORD CPolicyCache::Reads()
{
    SharedLock lock(m_lock);
    return m_reads;
}

bool CPolicyCache::VerifyWithCached(LPCWSTR path)
{
    SharedLock lock(m_lock);
    if (!m_loaded) return false;
    if (ITrustObserver* observer = TrustObserver()) observer->Policy(m_path, m_policy.version);
    return VerifySignedFile(path, m_signers.publisherNames, m_signers.rootThumbprints, m_signers.thumbprintCount,
                            m_signers.blockedSerials);
}

bool CPolicyCache::loadLocked()
{
    if (m_loaded) return true;
    m_path = Path();
    std::wstring reason;
    const bool exists = ::PathFileExistsW(m_path.c_str()) != FALSE;
    if (exists) ++m_reads;
    if (!LoadTrustedPolicy(m_path, m_signer, m_policy, reason)) {
        Note(m_path, L"not used: " + reason, exists);
        return false;
    }
    m_signers = m_policy.Signers();
    m_loaded = true;
    return true;
}

bool CPolicyCache::Load()
{
    ExclusiveLock lock(m_lock);
    return loadLocked();
}

bool CPolicyCache::Reload()
{
    ExclusiveLock lock(m_lock);
    m_loaded = false;
    m_policy = CTrustedPolicy();
    return loadLocked();
}

bool CPolicyCache::Offer(const std::wstring& candidate, DWORD builtInVersion)
{
    CTrustedPolicy offered;
    std::wstring reason;
    if (!LoadTrustedPolicy(candidate, m_signer, offered, reason)) {
        Note(candidate, L"not installed: " + reason);
        return false;
    }
    ExclusiveLock lock(m_lock);
    if (offered.version <= builtInVersion || (m_loaded && offered.version <= m_policy.version)) {
        Note(candidate, L"not installed: its version " + std::to_wstring(offered.version) +
                            L" is not newer than the policy in use");
        return false;
    }
    return installLocked(candidate);
}

bool CPolicyCache::installLocked(const std::wstring& candidate)
{
    const std::wstring installed = Path();
    const std::wstring folder = installed.substr(0, installed.find_last_of(L'\\'));
    const std::wstring temporary = folder + L"\\" + kTemporaryName;

    // Other processes read the installed file under a shared lock; this one
    // waits for them and keeps them out while the file is replaced.
    ScopedHandle file(::CreateFileW(installed.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    FileLock fileLock(file.Get(), LOCKFILE_EXCLUSIVE_LOCK);
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (!::CopyFileW(candidate.c_str(), temporary.c_str(), FALSE)) {
        Note(candidate, L"not installed: it cannot be copied to " + temporary + L" (" +
                            std::to_wstring(::GetLastError()) + L")");
        return false;
    }
    const BOOL replaced = ::PathFileExistsW(installed.c_str())
                              ? ::ReplaceFileW(installed.c_str(), temporary.c_str(), nullptr,
                                               REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                              : ::MoveFileW(temporary.c_str(), installed.c_str());
    const DWORD error = ::GetLastError();
    fileLock.Unlock();
    file.Reset();
    if (!replaced) {
        // The old file stays; the new one takes its place at the next restart
        // (replacing it: the old file is still there then).
        ::MoveFileExW(temporary.c_str(), installed.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
        Note(installed, L"not replaced (" + std::to_wstring(error) + L"): " + temporary +
                            L" replaces it at the next restart");
        return false;
    }
    ::GlobalAddAtomW(kPolicyUpdateAtom);
    QEL_LOG(LOG_INFORMATION, L"Policy file %s installed from %s", installed.c_str(), candidate.c_str());
    if (ITrustObserver* observer = TrustObserver()) observer->PolicyFileNote(installed, L"installed from " + candidate);
    m_loaded = false;
    m_policy = CTrustedPolicy();
    return loadLocked();
}
