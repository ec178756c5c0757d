#include "common/Platform.h"

#include "datastore/PcFile.h"

#include "common/OwnFiles.h"
#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "logging/LoggedBoundary.h"

#include <aclapi.h>
#include <shlwapi.h>

#include <cstring>

// The steps that both forms of ReadFromFile share log under that operation.
#define READ_LOG(level, ...) QEL_LOG_AS((level), L"PcFile.cpp", L"CPcFile::ReadFromFile", __VA_ARGS__)
#define WRITE_LOG(level, ...) QEL_LOG_AS((level), L"PcFile.cpp", L"CPcFile::WriteToFile", __VA_ARGS__)

namespace {

bool IsHeld(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Whether the file already has exactly this access list (setting one costs more than reading it).
bool SameAccessList(const ACL* dacl, HANDLE file)
{
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current, nullptr,
                          &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    ScopedLocalMem owned(descriptor);
    return dacl && current && dacl->AclSize == current->AclSize && std::memcmp(dacl, current, dacl->AclSize) == 0;
}

// The file's access list, inherited or its own as it is, onto another file.
// Read from the store's own file only: a name that is a link (or one of
// several names of a file) gives none, and the new file keeps what it
// inherits from its folder.
DWORD CopyAccessList(const std::wstring& path, HANDLE to)
{
    ScopedHandle from;
    if (own_files::OpenPlainFile(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                                 from) != ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rc = ::GetSecurityInfo(from.Get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                       &dacl, nullptr, &descriptor);
    if (rc != ERROR_SUCCESS) return rc;
    ScopedLocalMem owned(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    // Only inherited entries: the new file in the same folder inherits the same.
    bool inheritedOnly = dacl && !(control & SE_DACL_PROTECTED);
    for (DWORD i = 0; inheritedOnly && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        inheritedOnly = ::GetAce(dacl, i, &ace) && (static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE);
    }
    if (inheritedOnly || SameAccessList(dacl, to)) return ERROR_SUCCESS;
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return ::SetSecurityInfo(to, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
}

}  // namespace

CAutoHandle::~CAutoHandle()
{
    if (IsHeld(m_handle)) ::CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
}

CPcFile::~CPcFile()
{
    if (IsHeld(m_file)) ::CloseHandle(m_file);
}

bool CPcFile::FileExists(const std::wstring& path)
{
    Close();
    return ::PathFileExistsW(path.c_str()) != FALSE;
}

DWORD CPcFile::ReadFromFile(const std::wstring& path, std::wstring& text)
{
    SharedBuffer buffer;
    DWORD length = 0;
    const DWORD rc = ReadFromFile(path, buffer, length);
    if (rc != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Read file data error.");
        return rc;
    }
    if (!buffer || length == 0) {
        QEL_LOG(LOG_ERROR, L"Variables not initialized.");
        return ERROR_READ_FAULT;
    }
    text.assign(reinterpret_cast<const wchar_t*>(buffer.get()), length / sizeof(wchar_t));
    return ERROR_SUCCESS;
}

DWORD CPcFile::openForRead(const std::wstring& path, DWORD& bytes)
{
    if (path.empty()) {
        READ_LOG(LOG_ERROR, L"Invalid parameters.");
        return ERROR_INVALID_PARAMETER;
    }
    m_file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!IsHeld(m_file)) {
        READ_LOG(LOG_ERROR, L"Error: File not found.");
        return ERROR_FILE_NOT_FOUND;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(m_file, &size)) {
        READ_LOG(LOG_ERROR, L"Error: File size not obtained.");
        return ERROR_FILE_NOT_FOUND;
    }
    bytes = size.LowPart;
    return ERROR_SUCCESS;
}

DWORD CPcFile::readOpened(BYTE* data, DWORD bytes, DWORD& read)
{
    OVERLAPPED at{};
    read = 0;
    if (!::ReadFile(m_file, data, bytes, &read, &at)) {
        READ_LOG(LOG_ERROR, L"Error: Read fault.");
        return ERROR_READ_FAULT;
    }
    return ERROR_SUCCESS;
}

DWORD CPcFile::ReadFromFile(const std::wstring& path, SharedBuffer& out, DWORD& outLength)
{
    DWORD bytes = 0;
    DWORD rc = openForRead(path, bytes);
    CAutoHandle guard(m_file);
    if (rc != ERROR_SUCCESS) return rc;
    SharedBuffer buffer = MakeSharedBuffer(bytes);
    if (!buffer) {
        QEL_LOG(LOG_ERROR, L"Error: not enough memory.");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD read = 0;
    rc = readOpened(buffer.get(), bytes, read);
    if (rc != ERROR_SUCCESS) return rc;
    out = buffer;
    outLength = read;
    return ERROR_SUCCESS;
}

DWORD CPcFile::ReadFromFile(const std::wstring& path, std::vector<BYTE>& out)
{
    DWORD bytes = 0;
    DWORD rc = openForRead(path, bytes);
    CAutoHandle guard(m_file);
    if (rc != ERROR_SUCCESS) return rc;
    rc = boundary::Logged({L"PcFile.cpp", L"CPcFile::ReadFromFile"}, L"Error: not enough memory.", {}, [&] {
        out.resize(bytes);
        return DWORD{ERROR_SUCCESS};
    });
    if (rc != ERROR_SUCCESS) return rc;
    DWORD read = 0;
    rc = readOpened(out.data(), bytes, read);
    if (rc == ERROR_SUCCESS) out.resize(read);
    return rc;
}

DWORD CPcFile::WriteToFile(const std::wstring& path, const std::wstring& text)
{
    if (text.empty()) {
        QEL_LOG(LOG_ERROR, L"Invalid parameters.");
        return ERROR_INVALID_PARAMETER;
    }
    const size_t bytes = text.size() * sizeof(wchar_t);
    SharedBuffer buffer = MakeSharedBuffer(bytes);
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    std::memcpy(buffer.get(), text.data(), bytes);
    const DWORD rc = WriteToFile(path, buffer, static_cast<DWORD>(bytes));
    if (rc != ERROR_SUCCESS) QEL_LOG(LOG_ERROR, L"Write File Data Error.");
    return rc;
}

DWORD CPcFile::WriteToFile(const std::wstring& path, const SharedBuffer& buffer, DWORD length)
{
    return WriteToFile(path, buffer.get(), length);
}

// The file is never truncated in place. The new content goes to a file
// beside it, is flushed to disk, and then takes the file's name in one rename,
// so that a process killed (or a machine stopped) at any moment leaves either
// the old file or the new one, whole. The new file gets the old one's access
// list, attributes and creation time, as a file rewritten in place keeps them.
// A read-only file is refused, as opening it for writing is. Where the rest
// cannot be done (a folder that does not let this process make the file
// beside, a rename refused because another program holds the file open) the
// file is written in place, as it always was, and that write fails where it
// always failed.
DWORD CPcFile::WriteToFile(const std::wstring& path, const BYTE* data, DWORD length)
{
    if (path.empty() || !data || length == 0) return ERROR_INVALID_PARAMETER;
    WIN32_FILE_ATTRIBUTE_DATA existing{};
    const bool exists = ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &existing) != FALSE;
    if (exists && (existing.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
        // A read-only file (or a folder) cannot be opened for writing: the same
        // refusal as opening it in place gives.
        QEL_LOG(LOG_ERROR, L"Error: File not found.");
        return ERROR_FILE_NOT_FOUND;
    }
    const DWORD rc = writeReplacement(path, data, length, exists ? &existing : nullptr);
    if (rc == ERROR_SUCCESS || rc == ERROR_WRITE_FAULT) return rc;
    const DWORD inPlace = writeInPlace(path, data, length);
    if (inPlace == ERROR_SUCCESS) {
        QEL_LOG(LOG_WARNING, L"%s was written in place: it could not be replaced whole (error %d)", path.c_str(),
                static_cast<int>(rc));
    }
    return inPlace;
}

DWORD CPcFile::writeReplacement(const std::wstring& path, const BYTE* data, DWORD length,
                                const WIN32_FILE_ATTRIBUTE_DATA* existing)
{
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD kept = existing ? existing->dwFileAttributes & kKept : 0;
    // What stands at the name beside (a leftover of an interrupted save, or
    // anything a user made there first: a link, another file's second name)
    // is removed as a name, and the file is made anew: nothing is written
    // through it and no access list is copied onto it.
    const std::wstring replacement = path + kReplacementSuffix;
    std::wstring why;
    ScopedHandle file;
    DWORD made = own_files::RemoveName(replacement, &why);
    if (made == ERROR_SUCCESS) {
        made = own_files::CreateNewFile(replacement, GENERIC_WRITE | WRITE_DAC | READ_CONTROL, 0,
                                        kept ? kept : FILE_ATTRIBUTE_NORMAL, file, &why);
    }
    if (made == ERROR_CANT_ACCESS_FILE) WRITE_LOG(LOG_ERROR, L"%s is not used: %s", replacement.c_str(), why.c_str());
    if (made != ERROR_SUCCESS) return made;
    DWORD rc = existing ? CopyAccessList(path, file.Get()) : ERROR_SUCCESS;
    if (rc == ERROR_SUCCESS && existing) ::SetFileTime(file.Get(), &existing->ftCreationTime, nullptr, nullptr);
    DWORD written = 0;
    if (rc == ERROR_SUCCESS &&
        (!::WriteFile(file.Get(), data, length, &written, nullptr) || written != length || !::FlushFileBuffers(file.Get()))) {
        WRITE_LOG(LOG_ERROR, L"Error: Write fault.");
        rc = ERROR_WRITE_FAULT;
    }
    file.Reset();
    if (rc == ERROR_SUCCESS &&
        !::MoveFileExW(replacement.c_str(), path.c_str(),
                       (existing ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH)) {
        rc = ::GetLastError();
    }
    // What stops the write is the answer; a name left beside is removed by the next write.
    if (rc != ERROR_SUCCESS) static_cast<void>(own_files::RemoveName(replacement));
    return rc;
}

// Only the store's own file is written in place (never through a link that
// stands at its name); a missing one is made anew.
DWORD CPcFile::writeInPlace(const std::wstring& path, const BYTE* data, DWORD length)
{
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    ScopedHandle file;
    std::wstring why;
    DWORD rc = own_files::OpenPlainFile(path, GENERIC_WRITE, kShare, FILE_ATTRIBUTE_NORMAL, file, &why);
    if (rc == ERROR_FILE_NOT_FOUND) {
        rc = own_files::CreateNewFile(path, GENERIC_WRITE, kShare, FILE_ATTRIBUTE_NORMAL, file, &why);
    }
    if (rc == ERROR_CANT_ACCESS_FILE) WRITE_LOG(LOG_ERROR, L"%s is not used: %s", path.c_str(), why.c_str());
    m_file = file.Release();
    CAutoHandle guard(m_file);
    if (!IsHeld(m_file)) {
        WRITE_LOG(LOG_ERROR, L"Error: File not found.");
        return ERROR_FILE_NOT_FOUND;
    }
    OVERLAPPED at{};
    DWORD written = 0;
    if (!::WriteFile(m_file, data, length, &written, &at) || !::SetEndOfFile(m_file)) {
        WRITE_LOG(LOG_ERROR, L"Error: Write fault.");
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

DWORD CPcFile::Close()
{
    if (!IsHeld(m_file)) return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(m_file));
    const BOOL closed = ::CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    return static_cast<DWORD>(closed);
}
