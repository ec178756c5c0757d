#include "common/Platform.h"

#include "logging/StratumLogHandler.h"

#include "logging/Log.h"
#include "logging/LoggingIf.h"

namespace ETWLogging {

DWORD CStratumLogHandler::MapLevel(DWORD stratumLevel)
{
    switch (stratumLevel) {
        case Stratum::STRATUM_LOG_NONE:
        case Stratum::STRATUM_LOG_INFO: return LOG_NORMAL;
        case Stratum::STRATUM_LOG_ERROR: return LOG_ERROR;
        default: return LOG_WARNING;
    }
}

void CStratumLogHandler::LogLine(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                 const wchar_t* text)
{
    CLoggingIf* logger = ActiveLogger();
    if (!logger || logger->EnsureReady() != ERROR_SUCCESS) return;
    const DWORD mapped = MapLevel(level);
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logger)) {
        extended->LogLevelText(mapped, file, function, line, text);
    } else {
        logger->LogText(file, function, line, mapped, text);
    }
}

}  // namespace ETWLogging
