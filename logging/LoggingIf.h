// The logger interfaces and the builder that picks the back end. The file back
// end (CLogging) implements the plain interface, the event-trace back end
// (CETWLogging) the extended one; the dispatcher asks which one it holds.
#pragma once

#include "common/Platform.h"

#include <cstdarg>

namespace ETWLogging {

class CConfigurationListenerIf;

class CLoggingIf {
public:
    virtual ~CLoggingIf() = default;
    // 0, 87 (empty group or host), 14 (out of memory), 20001 (initialised twice).
    virtual DWORD Initialize(const wchar_t* appGroup, HMODULE module, const wchar_t* hostName, DWORD reserved) = 0;
    // 0 when lines can be written; the event-trace back end registers itself here.
    virtual DWORD EnsureReady() = 0;
    virtual DWORD LogText(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                          const wchar_t* text) = 0;
    virtual BOOL IsLevelEnabled(DWORD level) = 0;
    virtual ULONG AddRef() = 0;
    // Destroys the logger when the last reference goes.
    virtual ULONG Release() = 0;
};

class CLoggingIf_ex : public CLoggingIf {
public:
    virtual DWORD InitializeEx(DWORD appValue, const wchar_t* appGroup, HMODULE module, const wchar_t* hostName,
                               CConfigurationListenerIf* listener) = 0;
    virtual DWORD LogLevelText(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* text) = 0;
    virtual DWORD LogFormatV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* format, va_list args) = 0;
};

// Where the builder asks for "Logging Mechanism" instead of the registry.
class CLogConfigReaderIf {
public:
    virtual ~CLogConfigReaderIf() = default;
    [[nodiscard]] virtual bool GetDWORD(const wchar_t* name, DWORD& value) = 0;
};

class CLogBuilderIf {
public:
    virtual ~CLogBuilderIf() = default;
    virtual bool Build(const wchar_t* appGroup, HMODULE module, const wchar_t* hostName, DWORD backendOverride,
                       CLoggingIf** logger) = 0;
};

class CLogBuilderIf_ex : public CLogBuilderIf {
public:
    virtual bool BuildLogger(DWORD appValue, const wchar_t* appGroup, HMODULE module, const wchar_t* hostName,
                             DWORD backendOverride, CLoggingIf** logger, CLogConfigReaderIf* reader) = 0;
};

// The one builder: back-end override 1, or "Logging Mechanism" = 1, selects the
// file back end; anything else (missing key or value included) event tracing.
class CDefaultLogBuilder : public CLogBuilderIf_ex {
public:
    bool Build(const wchar_t* appGroup, HMODULE module, const wchar_t* hostName, DWORD backendOverride,
               CLoggingIf** logger) override;
    bool BuildLogger(DWORD appValue, const wchar_t* appGroup, HMODULE module, const wchar_t* hostName,
                     DWORD backendOverride, CLoggingIf** logger, CLogConfigReaderIf* reader) override;

    enum class Backend { File, EventTrace };
    static Backend ChooseBackend(DWORD backendOverride, CLogConfigReaderIf* reader);
};

// Lets a host (a test program, a tool) supply the builder before the first log
// call. Ownership stays with the caller; it must outlive every log call.
void UseLogBuilder(CLogBuilderIf* builder);

// The logger currently in the process slot (may be null); for the bridge handler.
CLoggingIf* ActiveLogger();

// One call's dispatch onto a given logger, as the log call does it.
[[nodiscard]]
DWORD DispatchLogV(CLoggingIf* logger, DWORD level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* format, va_list args);

// Longest text handed to a plain logger whole; longer ones are cut to kTruncatedChars.
constexpr size_t kMaxTextChars = 4160;
constexpr size_t kTruncatedChars = 2080;

}  // namespace ETWLogging
