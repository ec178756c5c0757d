// Whether two handles, or a path and a handle, are the same file: the same
// volume serial number and file index (a hard link is the same file, a copy
// is not). What was checked through a held handle is compared this way with
// what is about to run or has been loaded.
#pragma once

#include "Platform.h"

#include "UniqueHandle.h"

#include <string>

// False when either handle cannot be asked. No handle is null, as every owner
// gives it out (UniqueHandle.h).
inline bool SameFile(HANDLE a, HANDLE b)
{
    const auto id = [](HANDLE file, BY_HANDLE_FILE_INFORMATION& information) {
        return file && ::GetFileInformationByHandle(file, &information);
    };
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    return id(a, first) && id(b, second) && first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

// `path` names the file `file` is open on, now. Opened for its attributes
// only, sharing everything: never in the way of the holder's own handle.
inline bool PathNamesFile(const std::wstring& path, HANDLE file)
{
    ScopedHandle named(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    return SameFile(named.Get(), file);
}
