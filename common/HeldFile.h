// A file held open while it is judged, so that what is judged is what is
// used: opened once for reading, sharing only reads (nobody writes, replaces,
// renames or deletes it while it is held), named by its own path (what a
// junction or a symbolic link on the way leads to, so re-pointing one later
// changes nothing), with every folder on that path held against renaming.
// StillNamed() confirms that the path leads to the held file right before it
// is used (a folder renamed before it was held does not).
#pragma once

#include "Platform.h"

#include "FileIdentity.h"
#include "UniqueHandle.h"

#include <string>
#include <vector>

class CHeldFile {
public:
    CHeldFile() = default;
    CHeldFile(const CHeldFile&) = delete;
    CHeldFile& operator=(const CHeldFile&) = delete;

    // Holds the file at `path`; false, with the last error, when it cannot be
    // opened, named or have its folders held (nothing is held then).
    [[nodiscard]] bool Hold(const std::wstring& path);
    // The held file's own path: the one to judge, log and use.
    const std::wstring& Path() const { return m_path; }
    HANDLE Handle() const { return m_file.Get(); }
    bool StillNamed() const { return m_file && PathNamesFile(m_path, m_file.Get()); }
    void Release();

private:
    ScopedHandle m_file;
    std::vector<ScopedHandle> m_folders;
    std::wstring m_path;
};
