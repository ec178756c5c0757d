#include "common/Platform.h"

#include "common/OwnFiles.h"

#include <vector>

namespace own_files {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring Folder(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring Leaf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Where the system says `path` is when nothing on the way to it is planted:
// its folder as the system names it (an administrator's redirection of a
// folder above counts), then its own name.
std::wstring ExpectedFinalPath(const std::wstring& path)
{
    ScopedHandle folder(::CreateFileW(Folder(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring final = folder ? FinalPath(folder.Get()) : std::wstring();
    return final.empty() ? final : final + L"\\" + Leaf(path);
}

DWORD Refuse(std::wstring* why, std::wstring text)
{
    if (why) *why = std::move(text);
    return ERROR_CANT_ACCESS_FILE;
}

}  // namespace

std::wstring FinalPath(HANDLE handle)
{
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD n = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return std::wstring();
        if (n < buffer.size()) {
            std::wstring path(buffer.data(), n);
            if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
            if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
            return path;
        }
        buffer.resize(n + 1);
    }
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

std::wstring WhyNotPlain(HANDLE handle, const std::wstring& path)
{
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
        return L"its attributes cannot be read (error " + std::to_wstring(::GetLastError()) + L")";
    }
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"it is a reparse point (a link)";
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard))) {
        return L"its names cannot be counted (error " + std::to_wstring(::GetLastError()) + L")";
    }
    if (!standard.Directory && standard.NumberOfLinks != 1) {
        return L"it has " + std::to_wstring(standard.NumberOfLinks) + L" names (a hard link)";
    }
    // A link the system follows even when asked not to leads somewhere else.
    const std::wstring final = FinalPath(handle);
    const std::wstring expected = ExpectedFinalPath(path);
    if (final.empty() || expected.empty() || !SamePath(final, expected)) {
        return L"it leads to " + (final.empty() ? std::wstring(L"an unknown place") : final);
    }
    return std::wstring();
}

namespace {

DWORD OpenChecked(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                  ScopedHandle& file, std::wstring* why)
{
    ScopedHandle opened(::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                      flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened) return ::GetLastError();
    std::wstring reason = WhyNotPlain(opened.Get(), path);
    if (!reason.empty()) return Refuse(why, std::move(reason));
    file = std::move(opened);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD OpenPlainFile(const std::wstring& path, DWORD access, DWORD share, DWORD flags, ScopedHandle& file,
                    std::wstring* why)
{
    return OpenChecked(path, access, share, OPEN_EXISTING, flags, file, why);
}

DWORD CreateNewFile(const std::wstring& path, DWORD access, DWORD share, DWORD flags, ScopedHandle& file,
                    std::wstring* why)
{
    return OpenChecked(path, access, share, CREATE_NEW, flags, file, why);
}

DWORD CopyToNewFile(HANDLE from, const std::wstring& to, std::wstring* why)
{
    ScopedHandle copy;
    DWORD rc = CreateNewFile(to, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL, copy, why);
    if (rc != ERROR_SUCCESS) return rc;
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(from, start, nullptr, FILE_BEGIN)) return ::GetLastError();
    std::vector<BYTE> chunk(64 * 1024);
    for (;;) {
        DWORD read = 0, written = 0;
        if (!::ReadFile(from, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) return ::GetLastError();
        if (read == 0) break;
        if (!::WriteFile(copy.Get(), chunk.data(), read, &written, nullptr)) return ::GetLastError();
    }
    return ::FlushFileBuffers(copy.Get()) ? ERROR_SUCCESS : ::GetLastError();
}

namespace {

// Removes the name through a handle opened on it, when the handle is that
// very name (a link opened as itself included); ERROR_CANT_ACCESS_FILE when
// the system opened something else for it.
DWORD RemoveOpenedName(const std::wstring& path, std::wstring* why)
{
    ScopedHandle name(::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr));
    if (!name) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    // Removing through a handle that the system opened on another file would
    // remove that file.
    const std::wstring final = FinalPath(name.Get());
    const std::wstring expected = ExpectedFinalPath(path);
    if (final.empty() || expected.empty() || !SamePath(final, expected)) {
        return Refuse(why, L"it leads to " + (final.empty() ? std::wstring(L"an unknown place") : final));
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (::SetFileInformationByHandle(name.Get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
        return ERROR_SUCCESS;
    }
    // A read-only name (what an interrupted write left may have attributes
    // of its own) is made an ordinary one first.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(name.Get(), FileBasicInfo, &basic, sizeof(basic)) ||
        !::SetFileInformationByHandle(name.Get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD RemoveName(const std::wstring& path, std::wstring* why)
{
    const DWORD rc = RemoveOpenedName(path, why);
    if (rc != ERROR_CANT_ACCESS_FILE) return rc;
    // A link that the system follows even when asked not to: a rename does
    // not follow it, so an empty file of this program's takes the name first
    // and is then removed as itself.
    const std::wstring scratch =
        path + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
    ScopedHandle made;
    DWORD step = CreateNewFile(scratch, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL, made, why);
    made.Reset();
    if (step == ERROR_SUCCESS && !::MoveFileExW(scratch.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        step = ::GetLastError();
        RemoveOpenedName(scratch, nullptr);
    }
    return step == ERROR_SUCCESS ? RemoveOpenedName(path, why) : step;
}

}  // namespace own_files
