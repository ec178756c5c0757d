#include "common/Platform.h"

#include "datastore/PcFile.h"

#include "logging/Log.h"

#include <shlwapi.h>

#include <cstring>
#include <new>

// The steps that both forms of ReadFromFile share log under that operation.
#define READ_LOG(level, ...) QEL_LOG_AS((level), L"PcFile.cpp", L"CPcFile::ReadFromFile", __VA_ARGS__)

namespace {

bool IsHeld(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

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
    try {
        out.resize(bytes);
    } catch (const std::bad_alloc&) {
        QEL_LOG(LOG_ERROR, L"Error: not enough memory.");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
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

DWORD CPcFile::WriteToFile(const std::wstring& path, const BYTE* data, DWORD length)
{
    if (path.empty() || !data || length == 0) return ERROR_INVALID_PARAMETER;
    m_file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    CAutoHandle guard(m_file);
    if (!IsHeld(m_file)) {
        QEL_LOG(LOG_ERROR, L"Error: File not found.");
        return ERROR_FILE_NOT_FOUND;
    }
    OVERLAPPED at{};
    DWORD written = 0;
    if (!::WriteFile(m_file, data, length, &written, &at)) {
        QEL_LOG(LOG_ERROR, L"Error: Write fault.");
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
