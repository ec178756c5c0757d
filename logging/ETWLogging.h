// The event-trace back end (the default): every message becomes one classic
// ETW event of the provider {E16CA450-...}, seen by whatever trace session
// enables it. Sessions and "SOFTWARE\Tarsen.logging" set what passes.
#pragma once

#include "common/UniqueHandle.h"
#include "logging/LoggingIf.h"

#include <wmistr.h>
#include <evntrace.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace handle_traits {
struct TraceRegistrationCloser { static void Close(TRACEHANDLE h) noexcept { ::UnregisterTraceGuids(h); } };
}  // namespace handle_traits

// The provider's registration (RegisterTraceGuidsW), unregistered when let go.
using ScopedTraceRegistration =
    UniqueHandle<handle_traits::NullInvalid<TRACEHANDLE, handle_traits::TraceRegistrationCloser>>;

namespace ETWLogging {

class CETWLogging;

// Told when a session enables or disables the provider; applies the session's
// choice, then the registry overrides.
class CConfigurationListenerIf {
public:
    virtual ~CConfigurationListenerIf() = default;
    virtual void OnSessionChange(bool enable, DWORD level, DWORD flags) = 0;
};

namespace internal {

// Where the framework's trace controller and sessions live, from
// HKLM "SOFTWARE\Tarsen\Logging" and its "Session", "Provider", "Controller" keys.
struct ETWAppProperties {
    GUID sessionId;
    std::wstring sessionName;
    GUID providerGuid;
    std::wstring controllerPath;
    std::wstring ownerMutexName;
    std::wstring traceFileName = L"tslogs.etl";

    // Defaults, then whatever the registry holds.
    void Read();
    // "Log Path" and "ETL Path": as configured, else below the program-data
    // folder. Only the trace controller needs them, so the folder (and the
    // shell library behind it) is looked up when asked, not at start-up.
    std::wstring LogPath() const;
    std::wstring EtlPath() const;

    std::wstring configuredLogPath;
    std::wstring configuredEtlPath;
};

extern const GUID kDefaultSessionId;
extern const GUID kDefaultProviderGuid;
extern const GUID kEventClassGuid;

}  // namespace internal

class CETWConfigurationListener : public CConfigurationListenerIf {
public:
    explicit CETWConfigurationListener(CETWLogging& logger) : m_logger(logger) {}
    void OnSessionChange(bool enable, DWORD level, DWORD flags) override;
    // The "Enable"/"Severity" overrides: the logging key, then its subkey for
    // the group, then its subkey for the application name; later ones win.
    void ApplyRegistryOverrides();

private:
    CETWLogging& m_logger;
};

// The fields of one trace event: header, then two MOF fields (packed
// description, message text). Owns the buffers the fields point into.
struct EtwEventRecord {
    struct Event {
        EVENT_TRACE_HEADER header;
        MOF_FIELD fields[2];
    } event;
    std::vector<BYTE> packed;
    std::wstring message;
};

struct EtwEventSource {
    DWORD processId = 0;
    DWORD threadId = 0;
    const wchar_t* appName = L"";
    const wchar_t* file = L"";
    const wchar_t* function = L"";
    DWORD line = 0;
    const wchar_t* translation = L"";
    const wchar_t* fileVersion = L"";
    const wchar_t* group = L"";
};

// pid, tid, app name, file, function, line, two version strings, group, message
// length; strings as a 16-bit count followed by that many UTF-16 characters.
std::vector<BYTE> PackEtwEventField(const EtwEventSource& source, DWORD messageChars);
// 6 becomes 3; then 0 and anything above 5 become 3.
UCHAR MapEtwLevel(DWORD level);
void BuildEtwEvent(const EtwEventSource& source, DWORD level, std::wstring message, EtwEventRecord& record);

class CETWLogging : public CLoggingIf_ex {
public:
    CETWLogging();
    ~CETWLogging() override;

    DWORD Initialize(const wchar_t* appGroup, HMODULE module, const wchar_t* hostName, DWORD reserved) override;
    DWORD EnsureReady() override;
    DWORD LogText(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text) override;
    BOOL IsLevelEnabled(DWORD level) override;
    ULONG AddRef() override;
    ULONG Release() override;
    DWORD InitializeEx(DWORD appValue, const wchar_t* appGroup, HMODULE module, const wchar_t* hostName,
                       CConfigurationListenerIf* listener) override;
    DWORD LogLevelText(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                       const wchar_t* text) override;
    DWORD LogFormatV(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                     va_list args) override;

    // The session's and the registry's say.
    void SetEnabled(bool enabled) { m_enabled = enabled; }
    bool IsEnabled() const { return m_enabled; }
    void SetThreshold(DWORD threshold) { m_threshold = threshold; }
    DWORD Threshold() const { return m_threshold; }
    const std::wstring& Group() const { return m_group; }
    const std::wstring& AppName() const { return m_appName; }
    const internal::ETWAppProperties& Properties() const { return m_properties; }

    // The provider's control callback (WMI_ENABLE_EVENTS / WMI_DISABLE_EVENTS)
    // with the logger handle of the session that sends it.
    ULONG OnControl(WMIDPREQUESTCODE code, TRACEHANDLE sessionHandle);
    // The session the events go to; 0 until one has enabled the provider.
    TRACEHANDLE Session() const { return m_sessionHandle.load(); }

    static constexpr DWORD kErrorAlreadyInitialized = 20001;

private:
    static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer);
    [[nodiscard]]
    DWORD writeEvent(DWORD level, const wchar_t* file, const wchar_t* function, int line, std::wstring message);
    DWORD initialize(DWORD appValue, const wchar_t* appGroup, HMODULE module, const wchar_t* hostName,
                     CConfigurationListenerIf* listener);

    std::atomic<ULONG> m_refs{0};
    bool m_initialized = false;
    bool m_registered = false;
    CRITICAL_SECTION m_registration;
    ScopedTraceRegistration m_registrationHandle;
    std::atomic<TRACEHANDLE> m_sessionHandle{0};
    std::atomic<bool> m_enabled{true};
    std::atomic<DWORD> m_threshold{3};
    std::wstring m_group;
    std::wstring m_host;
    std::wstring m_appName;      // the module's file name without extension
    std::wstring m_groupAndApp;  // "<group>\<app>", what the event names as its source
    HMODULE m_module = nullptr;
    std::once_flag m_versionOnce;  // the version resource is read for the first event a session receives
    std::wstring m_translation;    // "%04x%04x" of the first version-resource translation
    std::wstring m_fileVersion;
    DWORD m_processId = 0;
    internal::ETWAppProperties m_properties;
    CConfigurationListenerIf* m_listener = nullptr;
    std::unique_ptr<CETWConfigurationListener> m_ownListener;
};

}  // namespace ETWLogging
