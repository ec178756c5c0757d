// Files and folders the program writes as the scheduler service's account in
// places where any user may create a name first: below the program-data
// folder (the log folder) and beside the data store. A name planted there may
// be a link (a symbolic link, a junction, a hard link to another file) that
// would make the program write, truncate or re-secure whatever it points to.
// These calls never follow such a name: a file is used only when the handle
// opened on it is the very name asked for (its final path), no reparse point,
// and the file's only name.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <string>

namespace own_files {

// Why a name is refused; empty when it is a plain file or folder of its own.
// `handle` is open on `path` (opened without following a reparse point).
std::wstring WhyNotPlain(HANDLE handle, const std::wstring& path);

// Opens an existing plain file (never a link). Flags are CreateFileW's
// FILE_FLAG_* and attributes; FILE_FLAG_OPEN_REPARSE_POINT is added.
// ERROR_FILE_NOT_FOUND when there is none, ERROR_CANT_ACCESS_FILE (with
// `why`) when the name is something else.
[[nodiscard]] DWORD OpenPlainFile(const std::wstring& path, DWORD access, DWORD share, DWORD flags, ScopedHandle& file,
                    std::wstring* why = nullptr);

// Makes a new file of that name (CREATE_NEW: nothing that stands there is
// opened, followed or truncated) and checks what was made the same way.
[[nodiscard]] DWORD CreateNewFile(const std::wstring& path, DWORD access, DWORD share, DWORD flags, ScopedHandle& file,
                    std::wstring* why = nullptr);

// Removes the name when it is there: the name itself, never what a link
// points to (a link the system follows even when asked not to is first
// replaced, by a rename, with an empty file of this program's). 0 when there
// is nothing (left) of that name; otherwise the error of the removal.
[[nodiscard]] DWORD RemoveName(const std::wstring& path, std::wstring* why = nullptr);

// Copies what `from` holds (read from its start) into a new file made by
// CreateNewFile (its access list inherited from its folder, as any new file's).
[[nodiscard]] DWORD CopyToNewFile(HANDLE from, const std::wstring& to, std::wstring* why = nullptr);

// The folder's final path as the system names it, without the "\\?\" prefix
// (a "\\?\UNC\" path becomes "\\..."); empty when it cannot be asked.
std::wstring FinalPath(HANDLE handle);

// Whether two paths name the same place, compared as the file system does
// (case-insensitive, ordinal).
bool SamePath(const std::wstring& a, const std::wstring& b);

}  // namespace own_files
