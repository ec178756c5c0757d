// Whole-file reads and writes in one call each. The file handle is held only
// for the duration of one read or write.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"

#include <string>
#include <vector>

// Closes the handle it refers to when the operation leaves, by whatever path,
// and marks it as not held.
class CAutoHandle {
public:
    explicit CAutoHandle(HANDLE& handle) : m_handle(handle) {}
    virtual ~CAutoHandle();

    CAutoHandle(const CAutoHandle&) = delete;
    CAutoHandle& operator=(const CAutoHandle&) = delete;

private:
    HANDLE& m_handle;
};

class CPcFile {
public:
    // Beside the file while a write is under way; left only by a write that was interrupted.
    static constexpr wchar_t kReplacementSuffix[] = L".new";

    CPcFile() = default;
    virtual ~CPcFile();

    CPcFile(const CPcFile&) = delete;
    CPcFile& operator=(const CPcFile&) = delete;

    virtual bool FileExists(const std::wstring& path);
    // The whole file taken as UTF-16 code units; an odd last byte is dropped.
    virtual DWORD ReadFromFile(const std::wstring& path, std::wstring& text);
    // The whole file; out untouched on failure.
    virtual DWORD ReadFromFile(const std::wstring& path, SharedBuffer& out, DWORD& outLength);
    // The whole file into out, whose storage is reused from call to call (a
    // caller that reads the same file again touches no new memory). On
    // failure out's content is unspecified.
    virtual DWORD ReadFromFile(const std::wstring& path, std::vector<BYTE>& out);
    // The text's code units, replacing the file.
    virtual DWORD WriteToFile(const std::wstring& path, const std::wstring& text);
    // Replaces the file whole: the new content is written and flushed beside
    // it (kReplacementSuffix) and then renamed over it; see PcFile.cpp.
    virtual DWORD WriteToFile(const std::wstring& path, const SharedBuffer& buffer, DWORD length);
    virtual DWORD WriteToFile(const std::wstring& path, const BYTE* data, DWORD length);
    // The result of CloseHandle when a handle is held; otherwise the (invalid)
    // handle value itself, as a number.
    virtual DWORD Close();

private:
    // Opens the file for reading and tells its size (the handle is m_file).
    [[nodiscard]] DWORD openForRead(const std::wstring& path, DWORD& bytes);
    [[nodiscard]] DWORD readOpened(BYTE* data, DWORD bytes, DWORD& read);
    // The file beside, flushed, renamed over the old one; the error that
    // stopped it (ERROR_WRITE_FAULT, logged, when the content could not be
    // written: the old file is untouched then).
    [[nodiscard]] DWORD writeReplacement(const std::wstring& path, const BYTE* data, DWORD length,
                           const WIN32_FILE_ATTRIBUTE_DATA* existing);
    [[nodiscard]] DWORD writeInPlace(const std::wstring& path, const BYTE* data, DWORD length);

    HANDLE m_file = INVALID_HANDLE_VALUE;
};
