#include "common/Platform.h"

#include "logging/ETWLogging.h"

#include "base/OSInfo.h"
#include "base/RegKey.h"
#include "common/ExceptionBoundary.h"
#include "common/LibraryLoader.h"
#include "common/WideFormat.h"
#include "logging/Logging.h"

#include <cstring>
#include <mutex>

namespace ETWLogging {
namespace internal {

// {491FB070-54CC-11E0-B8AF-0800200C9A66}
const GUID kDefaultSessionId = {0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {E16CA450-55CC-11E0-B8AF-0800200C9A66}
const GUID kDefaultProviderGuid = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}
const GUID kEventClassGuid = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

namespace {

constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Tarsen\\Logging";

void ReadString(const wchar_t* keyPath, const wchar_t* name, std::wstring& value)
{
    Stratum::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, keyPath, KEY_READ) != ERROR_SUCCESS) return;
    std::wstring read;
    if (key.QueryStringValue(name, read) == ERROR_SUCCESS) value = read;
}

void ReadGuid(const wchar_t* keyPath, const wchar_t* name, GUID& value)
{
    Stratum::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, keyPath, KEY_READ) != ERROR_SUCCESS) return;
    GUID read;
    if (key.QueryGUIDValue(name, read) == ERROR_SUCCESS) value = read;
}

}  // namespace

void ETWAppProperties::Read()
{
    sessionId = kDefaultSessionId;
    sessionName = L"Tarsen.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
    providerGuid = kDefaultProviderGuid;
    controllerPath.clear();
    ownerMutexName = L"Global\\Tarsen.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
    configuredLogPath.clear();
    configuredEtlPath.clear();

    const std::wstring session = std::wstring(kLoggingKey) + L"\\Session";
    ReadGuid(session.c_str(), L"Session ID Guid", sessionId);
    ReadString(session.c_str(), L"Session Name", sessionName);
    ReadGuid(L"SOFTWARE\\Tarsen\\Logging\\Provider", L"Provider Guid", providerGuid);
    ReadString(L"SOFTWARE\\Tarsen\\Logging\\Controller", L"Controller Path", controllerPath);
    ReadString(L"SOFTWARE\\Tarsen\\Logging\\Controller", L"Owner Mutex Name", ownerMutexName);
    ReadString(kLoggingKey, L"Log Path", configuredLogPath);
    ReadString(kLoggingKey, L"ETL Path", configuredEtlPath);
}

std::wstring ETWAppProperties::LogPath() const
{
    return configuredLogPath.empty() ? CLogging::GetProgramDataFolder() + L"\\Tarsen\\TSLOGS" : configuredLogPath;
}

std::wstring ETWAppProperties::EtlPath() const
{
    return configuredEtlPath.empty() ? CLogging::GetProgramDataFolder() + L"\\Tarsen\\TSLOGS\\ETW" : configuredEtlPath;
}

}  // namespace internal

namespace {

void AppendCounted(std::vector<BYTE>& out, const wchar_t* text)
{
    const size_t length = text ? wcslen(text) : 0;
    const USHORT count = static_cast<USHORT>(length > 0xFFFF ? 0xFFFF : length);
    const BYTE* countBytes = reinterpret_cast<const BYTE*>(&count);
    out.insert(out.end(), countBytes, countBytes + sizeof(count));
    const BYTE* chars = reinterpret_cast<const BYTE*>(text);
    if (count) out.insert(out.end(), chars, chars + count * sizeof(wchar_t));
}

void AppendDword(std::vector<BYTE>& out, DWORD value)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof(value));
}

// The first translation of the module's version resource and its FileVersion.
void ReadVersionStrings(HMODULE module, std::wstring& translation, std::wstring& fileVersion)
{
    const std::wstring path = ModuleFilePath(module);
    if (path.empty()) return;
    Stratum::FileVersionInfo info;
    WORD language = 0;
    WORD codePage = 0;
    if (!info.Load(path.c_str()) || !info.GetFirstTranslation(language, codePage)) return;
    translation = FormatWide(L"%04x%04x", language, codePage);
    info.GetString(L"FileVersion", fileVersion);
}

std::wstring ModuleBaseName(HMODULE module)
{
    std::wstring name = ModuleFilePath(module);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    const size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return name;
}

DWORD ReadOverrideDword(const std::wstring& keyPath, const wchar_t* name, DWORD& value)
{
    Stratum::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_READ) != ERROR_SUCCESS) return ERROR_FILE_NOT_FOUND;
    return static_cast<DWORD>(key.QueryDWORDValue(name, value));
}

}  // namespace

std::vector<BYTE> PackEtwEventField(const EtwEventSource& s, DWORD messageChars)
{
    std::vector<BYTE> out;
    AppendDword(out, s.processId);
    AppendDword(out, s.threadId);
    AppendCounted(out, s.appName);
    AppendCounted(out, s.file);
    AppendCounted(out, s.function);
    AppendDword(out, s.line);
    AppendCounted(out, s.translation);
    AppendCounted(out, s.fileVersion);
    AppendCounted(out, s.group);
    AppendDword(out, messageChars);
    return out;
}

UCHAR MapEtwLevel(DWORD level)
{
    if (level == 6) level = 3;
    if (level == 0 || level > 5) level = 3;
    return static_cast<UCHAR>(level);
}

void BuildEtwEvent(const EtwEventSource& source, DWORD level, std::wstring message, EtwEventRecord& record)
{
    record.message = std::move(message);
    record.packed = PackEtwEventField(source, static_cast<DWORD>(record.message.size()));
    auto& e = record.event;
    std::memset(&e, 0, sizeof(e));
    e.header.Size = sizeof(e);
    e.header.Class.Type = 1;
    e.header.Class.Level = MapEtwLevel(level);
    e.header.Class.Version = 2;
    e.header.Guid = internal::kEventClassGuid;
    e.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
    e.fields[0].DataPtr = reinterpret_cast<ULONG64>(record.packed.data());
    e.fields[0].Length = static_cast<ULONG>(record.packed.size());
    e.fields[1].DataPtr = reinterpret_cast<ULONG64>(record.message.c_str());
    e.fields[1].Length = static_cast<ULONG>((record.message.size() + 1) * sizeof(wchar_t));
}

void CETWConfigurationListener::OnSessionChange(bool enable, DWORD level, DWORD /*flags*/)
{
    m_logger.SetEnabled(enable);
    if (enable) m_logger.SetThreshold(level);
    ApplyRegistryOverrides();
}

void CETWConfigurationListener::ApplyRegistryOverrides()
{
    const std::wstring base = L"SOFTWARE\\Tarsen.logging";
    const std::wstring keys[] = {base, base + L"\\" + m_logger.Group(),
                                 FormatWide(L"%s\\%s", base.c_str(), m_logger.AppName().c_str())};
    for (const auto& key : keys) {
        DWORD value = 0;
        if (ReadOverrideDword(key, L"Enable", value) == ERROR_SUCCESS) m_logger.SetEnabled(value != 0);
        if (ReadOverrideDword(key, L"Severity", value) == ERROR_SUCCESS) m_logger.SetThreshold(value);
    }
}

CETWLogging::CETWLogging() { ::InitializeCriticalSection(&m_registration); }

CETWLogging::~CETWLogging()
{
    // Unregistered first: no control callback reaches the listener once it is gone.
    m_registrationHandle.Reset();
    ::DeleteCriticalSection(&m_registration);
}

DWORD CETWLogging::Initialize(const wchar_t* appGroup, HMODULE module, const wchar_t* hostName, DWORD)
{
    return initialize(0, appGroup, module, hostName, nullptr);
}

DWORD CETWLogging::InitializeEx(DWORD appValue, const wchar_t* appGroup, HMODULE module, const wchar_t* hostName,
                                CConfigurationListenerIf* listener)
{
    return initialize(appValue, appGroup, module, hostName, listener);
}

DWORD CETWLogging::initialize(DWORD, const wchar_t* appGroup, HMODULE module, const wchar_t* hostName,
                              CConfigurationListenerIf* listener)
{
    if (m_initialized) return kErrorAlreadyInitialized;
    if ((appGroup && !*appGroup) || (hostName && !*hostName)) return ERROR_INVALID_PARAMETER;
    // The logger cannot log its own failure: the code tells it.
    const DWORD rc = boundary::Answer({.noMemory = ERROR_OUTOFMEMORY, .other = ERROR_OUTOFMEMORY}, [&] {
        m_group = appGroup ? appGroup : L"";
        m_host = hostName ? hostName : L"";
        m_appName = ModuleBaseName(module);
        m_groupAndApp = m_group.empty() ? m_appName : m_group + L"\\" + m_appName;
        m_module = module;
        m_properties.Read();
        if (listener) {
            m_listener = listener;
        } else {
            m_ownListener = std::make_unique<CETWConfigurationListener>(*this);
            m_listener = m_ownListener.get();
            m_ownListener->ApplyRegistryOverrides();
        }
        return DWORD{ERROR_SUCCESS};
    });
    if (rc != ERROR_SUCCESS) return rc;
    m_processId = ::GetCurrentProcessId();
    m_initialized = true;
    return ERROR_SUCCESS;
}

ULONG WINAPI CETWLogging::ControlCallback(WMIDPREQUESTCODE code, PVOID context, ULONG*, PVOID buffer)
{
    auto* self = static_cast<CETWLogging*>(context);
    if (!self) return ERROR_INVALID_PARAMETER;
    const TRACEHANDLE session = buffer ? ::GetTraceLoggerHandle(buffer) : 0;
    return self->OnControl(code, session);
}

ULONG CETWLogging::OnControl(WMIDPREQUESTCODE code, TRACEHANDLE session)
{
    if (code == WMI_ENABLE_EVENTS) {
        TRACEHANDLE expected = 0;
        // The first session to enable the provider is the one it writes to.
        if (!m_sessionHandle.compare_exchange_strong(expected, session) && expected != session) {
            return ERROR_SUCCESS;
        }
        const DWORD level = ::GetTraceEnableLevel(session);
        const DWORD flags = level ? ::GetTraceEnableFlags(session) : 0;
        if (m_listener) m_listener->OnSessionChange(true, level, flags);
        return ERROR_SUCCESS;
    }
    if (code == WMI_DISABLE_EVENTS) {
        if (m_listener) m_listener->OnSessionChange(false, m_threshold, 0);
        // A session that was ignored when it enabled the provider does not
        // take the kept one's events away when it disables it.
        TRACEHANDLE kept = session;
        m_sessionHandle.compare_exchange_strong(kept, 0);
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_PARAMETER;
}

DWORD CETWLogging::EnsureReady()
{
    if (m_registered) return ERROR_SUCCESS;
    DWORD result = ERROR_SUCCESS;
    ::EnterCriticalSection(&m_registration);
    if (!m_registered) {
        GUID eventClass = internal::kEventClassGuid;
        TRACE_GUID_REGISTRATION registration{&eventClass, nullptr};
        // Put() unregisters an earlier registration first.
        result = ::RegisterTraceGuidsW(&CETWLogging::ControlCallback, this, &m_properties.providerGuid, 1,
                                       &registration, nullptr, nullptr, m_registrationHandle.Put());
        // A failed registration costs this one line only; later lines go on.
        m_registered = true;
    }
    ::LeaveCriticalSection(&m_registration);
    return result;
}

BOOL CETWLogging::IsLevelEnabled(DWORD level) { return level >= m_threshold || level == 3; }

ULONG CETWLogging::AddRef() { return ++m_refs; }

ULONG CETWLogging::Release()
{
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
}

DWORD CETWLogging::writeEvent(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                              std::wstring message)
{
    // Until a session has enabled the provider, TraceEvent would fail without
    // effect: skip building the event at all.
    const TRACEHANDLE session = m_sessionHandle.load();
    if (!session) return ERROR_SUCCESS;
    std::call_once(m_versionOnce, [this] { ReadVersionStrings(m_module, m_translation, m_fileVersion); });
    EtwEventSource source;
    source.processId = m_processId;
    source.threadId = ::GetCurrentThreadId();
    source.appName = m_groupAndApp.c_str();
    source.file = file ? file : L"";
    source.function = function ? function : L"";
    source.line = static_cast<DWORD>(line);
    source.translation = m_translation.c_str();
    source.fileVersion = m_fileVersion.c_str();
    source.group = m_group.c_str();
    EtwEventRecord record;
    BuildEtwEvent(source, level, std::move(message), record);
    // The result is not checked: a session going away mid-run loses a line, nothing more.
    ::TraceEvent(session, &record.event.header);
    return ERROR_SUCCESS;
}

DWORD CETWLogging::LogText(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text)
{
    return LogLevelText(level, file, function, line, text);
}

DWORD CETWLogging::LogLevelText(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                const wchar_t* text)
{
    if (!text || !m_enabled || !IsLevelEnabled(level)) return ERROR_SUCCESS;
    return writeEvent(level, file, function, line, text);
}

DWORD CETWLogging::LogFormatV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* format, va_list args)
{
    if (!format || !m_enabled || !IsLevelEnabled(level)) return ERROR_SUCCESS;
    std::wstring message;
    if (!FormatWideV(message, format, args)) {
        // The length could not be computed: print into a fixed 2080-character buffer.
        std::wstring fixed(2080, L'\0');
        va_list copy;
        va_copy(copy, args);
        const int n = _vsnwprintf(fixed.data(), fixed.size() - 1, format, copy);
        va_end(copy);
        fixed.resize(n < 0 ? wcsnlen(fixed.c_str(), fixed.size() - 1) : static_cast<size_t>(n));
        message.swap(fixed);
    }
    return writeEvent(level, file, function, line, std::move(message));
}

}  // namespace ETWLogging
