#include "common/Platform.h"

#include "base/RegKey.h"
#include "logging/ETWLogging.h"
#include "logging/Logging.h"
#include "logging/LoggingIf.h"

namespace ETWLogging {
namespace {

constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Tarsen\\Logging";
constexpr wchar_t kMechanismValue[] = L"Logging Mechanism";

bool ReadMechanismFromRegistry(DWORD& mechanism)
{
    Stratum::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_READ) != ERROR_SUCCESS) return false;
    return key.QueryDWORDValue(kMechanismValue, mechanism) == ERROR_SUCCESS;
}

// Initialises a freshly built back end; destroys it and answers null on failure.
CLoggingIf* InitializeBackend(CLoggingIf* logger, DWORD appValue, const wchar_t* group, HMODULE module,
                              const wchar_t* host)
{
    if (!logger) return nullptr;
    DWORD rc = ERROR_INVALID_FUNCTION;
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logger)) {
        rc = extended->InitializeEx(appValue, group, module, host, nullptr);
    }
    if (rc != ERROR_SUCCESS) rc = logger->Initialize(group, module, host, 0);
    if (rc != ERROR_SUCCESS) {
        delete logger;
        return nullptr;
    }
    logger->AddRef();
    return logger;
}

}  // namespace

CDefaultLogBuilder::Backend CDefaultLogBuilder::ChooseBackend(DWORD backendOverride, CLogConfigReaderIf* reader)
{
    if (backendOverride == 1) return Backend::File;
    DWORD mechanism = 0;
    const bool found = reader ? reader->GetDWORD(kMechanismValue, mechanism) : ReadMechanismFromRegistry(mechanism);
    return (found && mechanism == 1) ? Backend::File : Backend::EventTrace;
}

bool CDefaultLogBuilder::Build(const wchar_t* appGroup, HMODULE module, const wchar_t* hostName,
                               DWORD backendOverride, CLoggingIf** logger)
{
    return BuildLogger(0, appGroup, module, hostName, backendOverride, logger, nullptr);
}

bool CDefaultLogBuilder::BuildLogger(DWORD appValue, const wchar_t* appGroup, HMODULE module, const wchar_t* hostName,
                                     DWORD backendOverride, CLoggingIf** logger, CLogConfigReaderIf* reader)
{
    if (!logger) return false;
    CLoggingIf* backend = nullptr;
    if (ChooseBackend(backendOverride, reader) == Backend::File) {
        backend = new (std::nothrow) CLogging;
    } else {
        backend = new (std::nothrow) CETWLogging;
    }
    *logger = InitializeBackend(backend, appValue, appGroup, module, hostName);
    return *logger != nullptr;
}

}  // namespace ETWLogging
