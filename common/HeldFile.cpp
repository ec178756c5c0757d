#include "common/Platform.h"

#include "common/HeldFile.h"

#include <shlwapi.h>

namespace {

// The path of the held file with no link on the way, in the plain drive or
// UNC form; false when the system cannot name it.
bool FinalPath(HANDLE file, std::wstring& path)
{
    std::wstring name(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD chars = ::GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()),
                                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (chars == 0) return false;
        if (chars < name.size()) {
            name.resize(chars);
            if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
                name = L"\\\\" + name.substr(8);
            } else if (name.compare(0, 4, L"\\\\?\\") == 0) {
                name.erase(0, 4);
            }
            path = name;
            return true;
        }
        name.assign(chars, L'\0');
    }
    return false;
}

// Holds every folder on the way to the file (below the root) so that none is
// renamed or deleted while held: opened for listing, sharing reads and
// writes (the folders' other files stay usable), never deletes.
bool HoldFolders(const std::wstring& path, std::vector<ScopedHandle>& folders)
{
    const wchar_t* below = ::PathSkipRootW(path.c_str());
    if (!below) {
        ::SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    for (size_t at = path.find(L'\\', static_cast<size_t>(below - path.c_str())); at != std::wstring::npos;
         at = path.find(L'\\', at + 1)) {
        ScopedHandle folder(::CreateFileW(path.substr(0, at).c_str(), FILE_LIST_DIRECTORY,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!folder) return false;
        folders.push_back(std::move(folder));
    }
    return true;
}

}  // namespace

bool CHeldFile::Hold(const std::wstring& path)
{
    Release();
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    std::wstring own;
    std::vector<ScopedHandle> folders;
    if (!file || !FinalPath(file.Get(), own) || !HoldFolders(own, folders)) return false;
    m_file = std::move(file);
    m_folders = std::move(folders);
    m_path = std::move(own);
    return true;
}

void CHeldFile::Release()
{
    m_file.Reset();
    m_folders.clear();
    m_path.clear();
}
