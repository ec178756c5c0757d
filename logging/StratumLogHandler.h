// Carries the base library's lines into the program's logger, mapping base
// levels 0/1 to Normal, 2 to Error and anything else to Warning.
#pragma once

#include "logging/StratumLogger.h"

namespace ETWLogging {

class CStratumLogHandler : public Stratum::ILoggingHandler {
public:
    void LogLine(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text) override;
    static DWORD MapLevel(DWORD stratumLevel);
};

}  // namespace ETWLogging
