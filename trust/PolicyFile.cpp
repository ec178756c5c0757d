#include "common/Platform.h"

#include "trust/PolicyFile.h"

#include "trust/PolicyText.h"

namespace policy_file {
namespace {

constexpr DWORD kLockRetryMs = 25;

}  // namespace

FileLock::FileLock(HANDLE file, bool exclusive, DWORD waitMs) : m_file(file)
{
    if (!file) return;
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

void FileLock::Unlock()
{
    OVERLAPPED at{};
    if (m_locked) ::UnlockFileEx(m_file, 0, MAXDWORD, MAXDWORD, &at);
    m_locked = false;
}

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

std::wstring OpenFailure(DWORD error, DWORD waitMs)
{
    return error == ERROR_SHARING_VIOLATION ? LockedOutReason(waitMs)
                                            : L"it cannot be opened (" + std::to_wstring(error) + L")";
}

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

LoadedFile LoadFrom(const std::wstring& path, const BYTE (&signer)[20], DWORD waitMs)
{
    LoadedFile load;
    ScopedHandle file;
    const DWORD error = OpenPolicyFile(path, waitMs, file);
    if (!file) {
        load.found = Absent(error) ? Found::Absent : Found::Unavailable;
        load.reason = Absent(error) ? L"it does not exist" : OpenFailure(error, waitMs);
        return load;
    }
    load.found = Found::Unavailable;
    {
        FileLock lock(file.Get(), false, waitMs);
        if (!lock.Locked()) {
            load.reason = LockedOutReason(waitMs);
            return load;
        }
        if (!ReadAll(file.Get(), load.bytes, load.reason)) return load;
        FILETIME written{};
        if (::GetFileTime(file.Get(), nullptr, nullptr, &written)) {
            load.written = static_cast<ULONGLONG>(written.dwHighDateTime) << 32 | written.dwLowDateTime;
        }
    }
    bool unavailable = false;
    std::shared_ptr<CTrustedPolicy> policy = ParseVerifiedPolicy(load.bytes, signer, load.reason, &unavailable, true);
    if (policy) policy->source = path;
    load.policy = policy;
    load.found = load.policy ? Found::Good : unavailable ? Found::Unavailable : Found::Refused;
    return load;
}
}  // namespace policy_file

std::wstring LockedOutReason(DWORD waitMs)
{
    return L"it is locked by another process, not waited for longer than " + std::to_wstring(waitMs) + L" ms";
}

PolicySnapshot LoadTrustedPolicy(const std::wstring& path, const BYTE (&signer)[20], std::wstring& reason)
{
    policy_file::LoadedFile load = policy_file::LoadFrom(path, signer);
    reason = load.reason;
    return load.policy;
}
