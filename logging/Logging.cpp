#include "common/Platform.h"

#include "logging/Logging.h"

#include "common/LibraryLoader.h"
#include "common/UniqueHandle.h"
#include "logging/IniReader.h"
#include "logging/LogLine.h"
#include "logging/WideFormat.h"

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

CLogging::~CLogging()
{
    if (m_mutex) ::CloseHandle(m_mutex);
}

std::wstring CLogging::GetProgramDataFolder()
{
    PWSTR path = nullptr;
    std::wstring result;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &path)) && path) {
        result = path;
    }
    ::CoTaskMemFree(path);
    return result;
}

DWORD CLogging::Initialize(const wchar_t* appGroup, HMODULE module, const wchar_t* hostName, DWORD /*reserved*/)
{
    if (m_initialized) return kErrorAlreadyInitialized;
    if ((appGroup && !*appGroup) || (hostName && !*hostName)) return ERROR_INVALID_PARAMETER;
    try {
        m_group = appGroup ? appGroup : L"";
        m_hasHost = hostName != nullptr;
        m_host = hostName ? hostName : L"";
        m_exeName = FileNamePart(ModuleFilePath(nullptr));
        m_moduleName = WithoutExtension(FileNamePart(ModuleFilePath(module)));
        if (module) m_exeName.clear();

        const std::wstring root = GetProgramDataFolder() + L"\\Tarsen\\" + L"TSLOGS" + L"\\";
        m_logFolder = m_group.empty() ? FormatWide(L"%s%s", root.c_str(), m_moduleName.c_str())
                                      : FormatWide(L"%s%s\\%s", root.c_str(), m_group.c_str(), m_moduleName.c_str());
        m_appIni = FormatWide(L"%s\\%s", m_logFolder.c_str(), L"log.ini");
        m_globalIni = FormatWide(L"%s%s", root.c_str(), L"log.ini");
        readConfiguration();
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
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
        if (!::PathIsDirectoryW(m_logFolder.c_str())) {
            m_enable = 0;
            m_severity = kNoLevelPasses;
        }
    }
    return m_enable != 0;
}

DWORD CLogging::readLastLogIdx() const
{
    DWORD index = 0;
    const Stratum::CObfuscatedIniReader app(m_appIni);
    const Stratum::CObfuscatedIniReader global(m_globalIni);
    if (!app.ReadNumber(kSection, L"LastLogIdx", index)) global.ReadNumber(kSection, L"LastLogIdx", index);
    return index;
}

void CLogging::storeLastLogIdx(DWORD index) const
{
    Stratum::CBaseIniReader(m_appIni).WriteString(kSection, L"LastLogIdx", std::to_wstring(index));
}

DWORD CLogging::openCurrentFile(HANDLE& file)
{
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD kAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;

    DWORD index = readLastLogIdx();
    bool created = false;
    ScopedHandle handle;
    if (index < m_maxEntries && ::PathFileExistsW(LogFilePath(index).c_str())) {
        handle.Reset(::CreateFileW(LogFilePath(index).c_str(), kAccess, kShare, nullptr, OPEN_EXISTING, kAttributes,
                                   nullptr));
        if (!handle) return ::GetLastError();
        LARGE_INTEGER size{};
        ::GetFileSizeEx(handle.Get(), &size);
        if (size.LowPart >= m_maxSize) {
            handle.Reset();
            index = (index + 1 >= m_maxEntries) ? 0 : index + 1;
            handle.Reset(::CreateFileW(LogFilePath(index).c_str(), kAccess, kShare, nullptr, CREATE_ALWAYS,
                                       kAttributes, nullptr));
            if (!handle) return ::GetLastError();
            created = true;
            storeLastLogIdx(index);
        } else {
            LARGE_INTEGER zero{};
            ::SetFilePointerEx(handle.Get(), zero, nullptr, FILE_END);
        }
    } else {
        const bool outOfRange = index >= m_maxEntries;
        if (outOfRange) index = 0;
        handle.Reset(::CreateFileW(LogFilePath(index).c_str(), kAccess, kShare, nullptr, CREATE_ALWAYS, kAttributes,
                                   nullptr));
        if (!handle) return ::GetLastError();
        created = true;
        if (outOfRange) storeLastLogIdx(0);
    }
    if (created) {
        const wchar_t bom = 0xFEFF;
        DWORD written = 0;
        if (!::WriteFile(handle.Get(), &bom, sizeof(bom), &written, nullptr)) return ::GetLastError();
    }
    file = handle.Release();
    return ERROR_SUCCESS;
}

DWORD CLogging::LogText(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text)
{
    MutexWait wait(m_mutex);
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

    HANDLE raw = nullptr;
    const DWORD opened = openCurrentFile(raw);
    if (opened != ERROR_SUCCESS) return opened;
    ScopedHandle handle(raw);
    DWORD written = 0;
    if (!::WriteFile(handle.Get(), lineText.data(), static_cast<DWORD>(lineText.size() * sizeof(wchar_t)), &written,
                     nullptr)) {
        return ::GetLastError();
    }
    if (m_options & LOG_OPTION_DEBUGGER) ::OutputDebugStringW(lineText.c_str());
    return ERROR_SUCCESS;
}

}  // namespace ETWLogging
