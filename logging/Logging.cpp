#include "common/Platform.h"

#include "logging/Logging.h"

#include "common/ExceptionBoundary.h"
#include "common/LibraryLoader.h"
#include "common/ObjectOwner.h"
#include "common/OwnFiles.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "logging/ETWLogging.h"
#include "logging/IniReader.h"
#include "logging/LogLine.h"

#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <new>
#include <vector>

namespace ETWLogging {
namespace {

constexpr wchar_t kSection[] = L"Config";
constexpr DWORD kNoLevelPasses = 10000;
constexpr DWORD kMutexWaitMs = 7000;

std::wstring FileNamePart(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring WithoutExtension(const std::wstring& name)
{
    const size_t dot = name.find_last_of(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

// A value from the per-application ini when present and valid there, else
// from the global one, else the default stays.
template <typename Valid>
void ReadSetting(const Stratum::CObfuscatedIniReader& app, const Stratum::CObfuscatedIniReader& global,
                 const wchar_t* key, DWORD& target, Valid valid)
{
    DWORD value = 0;
    if (app.ReadNumber(kSection, key, value) && valid(value)) {
        target = value;
    } else if (global.ReadNumber(kSection, key, value) && valid(value)) {
        target = value;
    }
}

// The file's owner is LocalSystem, Administrators or this process's account
// (false when it cannot be read).
bool OwnedRightfully(HANDLE file)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rc = ::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                       nullptr, &descriptor);
    ScopedLocalMem held(descriptor);
    return rc == ERROR_SUCCESS && owner && IsRightfulOwner(owner);
}

class MutexWait {
public:
    explicit MutexWait(HANDLE mutex) : m_mutex(mutex)
    {
        if (m_mutex) m_owned = ::WaitForSingleObject(m_mutex, kMutexWaitMs) == WAIT_OBJECT_0;
    }
    ~MutexWait()
    {
        if (m_owned) ::ReleaseMutex(m_mutex);
    }

private:
    HANDLE m_mutex;
    bool m_owned = false;
};

}  // namespace

CLogging::CLogging() = default;

CLogging::~CLogging() = default;

std::wstring CLogging::GetProgramDataFolder()
{
    ScopedCoTaskMem<wchar_t> path;  // owed even when the call fails
    std::wstring result;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, path.Put())) && path) {
        result = path.Get();
    }
    return result;
}

DWORD CLogging::Initialize(const wchar_t* appGroup, HMODULE module, const wchar_t* hostName, DWORD /*reserved*/)
{
    if (m_initialized) return kErrorAlreadyInitialized;
    if ((appGroup && !*appGroup) || (hostName && !*hostName)) return ERROR_INVALID_PARAMETER;
    // The logger cannot log its own failure: the code tells it.
    const DWORD rc = boundary::Answer({.noMemory = ERROR_OUTOFMEMORY, .other = ERROR_OUTOFMEMORY}, [&] {
        m_group = appGroup ? appGroup : L"";
        m_hasHost = hostName != nullptr;
        m_host = hostName ? hostName : L"";
        m_exeName = FileNamePart(ModuleFilePath(nullptr));
        m_moduleName = WithoutExtension(FileNamePart(ModuleFilePath(module)));
        if (module) m_exeName.clear();

        m_module = module;
        m_programData = GetProgramDataFolder();
        const std::wstring root = m_programData + L"\\Tarsen\\" + L"TSLOGS" + L"\\";
        m_logFolder = m_group.empty() ? FormatWide(L"%s%s", root.c_str(), m_moduleName.c_str())
                                      : FormatWide(L"%s%s\\%s", root.c_str(), m_group.c_str(), m_moduleName.c_str());
        m_appIni = FormatWide(L"%s\\%s", m_logFolder.c_str(), L"log.ini");
        m_globalIni = FormatWide(L"%s%s", root.c_str(), L"log.ini");
        readConfiguration();
        return DWORD{ERROR_SUCCESS};
    });
    if (rc != ERROR_SUCCESS) return rc;
    m_processId = ::GetCurrentProcessId();
    m_initialized = true;
    return ERROR_SUCCESS;
}

void CLogging::readConfiguration()
{
    const Stratum::CObfuscatedIniReader app(m_appIni);
    const Stratum::CObfuscatedIniReader global(m_globalIni);
    if (!app.FileExists() && !global.FileExists()) return;
    ReadSetting(app, global, L"Enable", m_enable, [](DWORD) { return true; });
    ReadSetting(app, global, L"MaxSize", m_maxSize, [](DWORD v) { return v >= 0x40000 && v <= 0xA00000; });
    ReadSetting(app, global, L"MaxEntries", m_maxEntries, [](DWORD v) { return v >= 2 && v <= 100; });
    ReadSetting(app, global, L"Severity", m_severity, [](DWORD v) { return v <= 6; });
    ReadSetting(app, global, L"Options", m_options, [](DWORD) { return true; });
}

DWORD CLogging::Shutdown()
{
    if (!m_initialized) return kErrorNotInitialized;
    m_initialized = false;
    return ERROR_SUCCESS;
}

DWORD CLogging::Flush() { return ERROR_SUCCESS; }

BOOL CLogging::IsLevelEnabled(DWORD level) { return m_enable != 0 && level >= m_severity; }

void CLogging::SetMaxEntries(DWORD entries) { m_maxEntries = entries < 2 ? 2 : (entries > 100 ? 100 : entries); }

void CLogging::SetMaxSize(DWORD bytes)
{
    m_maxSize = bytes < 0x40000 ? 0x40000 : (bytes > 0xA00000 ? 0xA00000 : bytes);
}

void CLogging::SetSeverity(DWORD severity) { m_severity = severity < 1 ? 1 : (severity > 6 ? 6 : severity); }

ULONG CLogging::AddRef() { return ++m_refs; }

ULONG CLogging::Release()
{
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
}

std::wstring CLogging::LogFilePath(DWORD index) const
{
    std::wstring path = FormatWide(L"%s\\%s", m_logFolder.c_str(), m_moduleName.c_str());
    if (m_hasHost) path += L"_" + m_host;
    path += FormatWide(L"%0.3lu%s", static_cast<unsigned long>(index), L".log");
    return path;
}

bool CLogging::firstUseCheck()
{
    if (!m_firstUseChecked) {
        m_firstUseChecked = true;
        std::wstring refused;
        if (!::PathIsDirectoryW(m_logFolder.c_str()) || !(refused = trustLogFolder()).empty()) {
            m_enable = 0;
            m_severity = kNoLevelPasses;
        }
        // Said once, where an administrator looks when the log stays empty.
        if (!refused.empty()) {
            const std::wstring text = L"File logging is off: the log folder " + m_logFolder + L" " + refused;
            ::OutputDebugStringW(text.c_str());
            if (CETWLogging* trace = new (std::nothrow) CETWLogging) {
                trace->AddRef();
                if (trace->Initialize(m_group.empty() ? nullptr : m_group.c_str(), m_module,
                                      m_hasHost ? m_host.c_str() : nullptr, 0) == ERROR_SUCCESS) {
                    trace->LogText(L"Logging.cpp", L"ETWLogging::CLogging::LogText", __LINE__, 4, text.c_str());
                }
                trace->Release();
            }
        }
    }
    return m_enable != 0;
}

// The folders from the program-data folder down to the log folder are opened
// as themselves: a junction or symbolic link among them (any user may create
// the missing ones, and own them) would send the lines, and "log.ini", where
// its maker chose. The log folder's final path must be the program-data
// folder's (as the system names it) and then the expected names, which also
// catches a link the system follows when asked not to; and its owner must be
// one that a user cannot be.
std::wstring CLogging::trustLogFolder()
{
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD kAsItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    ScopedHandle root(::CreateFileW(m_programData.c_str(), FILE_READ_ATTRIBUTES, kShare | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring rootFinal = root ? own_files::FinalPath(root.Get()) : std::wstring();
    if (rootFinal.empty() || m_logFolder.compare(0, m_programData.size() + 1, m_programData + L"\\") != 0) {
        return L"is not below the program-data folder";
    }
    ScopedHandle folder;
    size_t at = m_programData.size();
    do {
        at = m_logFolder.find(L'\\', at + 1);
        const std::wstring step = m_logFolder.substr(0, at);
        folder.Reset(::CreateFileW(step.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShare, nullptr, OPEN_EXISTING,
                                   kAsItself, nullptr));
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (!folder || !::GetFileInformationByHandleEx(folder.Get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
            return L"cannot be opened (" + step + L", error " + std::to_wstring(::GetLastError()) + L")";
        }
        if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"is reached through a link: " + step;
    } while (at != std::wstring::npos);
    const std::wstring final = own_files::FinalPath(folder.Get());
    if (!own_files::SamePath(final, rootFinal + m_logFolder.substr(m_programData.size()))) {
        return L"leads to " + final;
    }
    if (!OwnedRightfully(folder.Get())) return L"is owned by neither LocalSystem nor Administrators";
    m_folder = std::move(folder);
    return std::wstring();
}

DWORD CLogging::readLastLogIdx() const
{
    DWORD index = 0;
    const Stratum::CObfuscatedIniReader app(m_appIni);
    const Stratum::CObfuscatedIniReader global(m_globalIni);
    // In neither file: index 0, the first log file.
    if (!app.ReadNumber(kSection, L"LastLogIdx", index)) {
        static_cast<void>(global.ReadNumber(kSection, L"LastLogIdx", index));
    }
    return index;
}

// "log.ini" is written through the profile functions, which open it by name:
// only a plain file of this program's (or of an administrator's) is left at
// that name. Anything else (a link, another file's second name, a file a user
// made and could swap for a link later) is removed as a name and made anew.
void CLogging::storeLastLogIdx(DWORD index) const
{
    ScopedHandle ini;
    DWORD rc = own_files::OpenPlainFile(m_appIni, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, ini);
    if (rc == ERROR_SUCCESS && !OwnedRightfully(ini.Get())) rc = ERROR_CANT_ACCESS_FILE;
    ini.Reset();
    if (rc == ERROR_CANT_ACCESS_FILE && own_files::RemoveName(m_appIni) == ERROR_SUCCESS) rc = ERROR_FILE_NOT_FOUND;
    if (rc == ERROR_FILE_NOT_FOUND) {
        rc = own_files::CreateNewFile(m_appIni, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL, ini);
    }
    ini.Reset();
    if (rc != ERROR_SUCCESS) return;
    // Not kept: the next run starts again from the index it reads.
    static_cast<void>(Stratum::CBaseIniReader(m_appIni).WriteString(kSection, L"LastLogIdx", std::to_wstring(index)));
}

// A log file is used only when it is the name itself and its only name: a
// link (or a second name of another file) found there is removed as a name
// and the file made anew, so a line never lands, and a rotation never
// truncates, where a link points.
DWORD CLogging::openLogFile(DWORD index, bool empty, ScopedHandle& file, bool& created)
{
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD kAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;
    const std::wstring path = LogFilePath(index);
    ScopedHandle handle;
    DWORD rc = own_files::OpenPlainFile(path, kAccess, kShare, kAttributes, handle);
    if (rc == ERROR_CANT_ACCESS_FILE) {
        rc = own_files::RemoveName(path);
        if (rc == ERROR_SUCCESS) rc = ERROR_FILE_NOT_FOUND;
    }
    created = rc != ERROR_SUCCESS || empty;
    if (rc == ERROR_FILE_NOT_FOUND) {
        rc = own_files::CreateNewFile(path, kAccess, kShare, kAttributes, handle);
    } else if (rc == ERROR_SUCCESS && empty) {
        LARGE_INTEGER zero{};
        if (!::SetFilePointerEx(handle.Get(), zero, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle.Get())) {
            rc = ::GetLastError();
        }
    }
    if (rc != ERROR_SUCCESS) return rc;
    if (created) {
        const wchar_t bom = 0xFEFF;
        DWORD written = 0;
        if (!::WriteFile(handle.Get(), &bom, sizeof(bom), &written, nullptr)) return ::GetLastError();
    }
    file = std::move(handle);
    return ERROR_SUCCESS;
}

DWORD CLogging::openCurrentFile(ScopedHandle& file)
{
    DWORD index = readLastLogIdx();
    const bool outOfRange = index >= m_maxEntries;
    if (outOfRange) index = 0;
    bool created = false;
    ScopedHandle handle;
    DWORD rc = openLogFile(index, outOfRange, handle, created);
    if (rc != ERROR_SUCCESS) return rc;
    if (outOfRange) storeLastLogIdx(0);
    LARGE_INTEGER size{};
    if (!created && ::GetFileSizeEx(handle.Get(), &size) && size.LowPart >= m_maxSize) {
        handle.Reset();
        index = (index + 1 >= m_maxEntries) ? 0 : index + 1;
        rc = openLogFile(index, true, handle, created);
        if (rc != ERROR_SUCCESS) return rc;
        storeLastLogIdx(index);
    } else if (!created) {
        LARGE_INTEGER zero{};
        ::SetFilePointerEx(handle.Get(), zero, nullptr, FILE_END);
    }
    file = std::move(handle);
    return ERROR_SUCCESS;
}

DWORD CLogging::LogText(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text)
{
    MutexWait wait(m_mutex.Get());
    if (!firstUseCheck()) return ERROR_SUCCESS;
    if (!text || !*text) return ERROR_INVALID_PARAMETER;

    LogLineFields fields;
    ::GetLocalTime(&fields.localTime);
    fields.level = level;
    fields.options = m_options;
    fields.exeName = m_exeName.c_str();
    fields.processId = m_processId;
    fields.threadId = ::GetCurrentThreadId();
    fields.file = file;
    fields.line = line;
    fields.function = function;
    fields.text = text;
    std::wstring lineText;
    if (!BuildLogLine(fields, lineText)) return ERROR_INVALID_PARAMETER;

    ScopedHandle handle;
    const DWORD opened = openCurrentFile(handle);
    if (opened != ERROR_SUCCESS) return opened;
    DWORD written = 0;
    if (!::WriteFile(handle.Get(), lineText.data(), static_cast<DWORD>(lineText.size() * sizeof(wchar_t)), &written,
                     nullptr)) {
        return ::GetLastError();
    }
    if (m_options & LOG_OPTION_DEBUGGER) ::OutputDebugStringW(lineText.c_str());
    return ERROR_SUCCESS;
}

}  // namespace ETWLogging
