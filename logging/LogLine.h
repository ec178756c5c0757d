// The layout of one line of the text log file:
//   12/05/2026 05:46:10 PM$ -- (Information)$ [   name]$ [PID: 1234 TID: 5678]$ [ file.cpp:  42]$ [fn()]$ text\r\n
// The options word picks the bracketed pieces (0x10, 0x04, 0x08, 0x20).
#pragma once

#include "common/Platform.h"

#include <string>

enum : DWORD {
    LOG_OPTION_DEBUGGER = 0x01,   // also hand every line to the debugger output
    LOG_OPTION_PROCESS = 0x04,    // [PID:%5lu TID:%5lu]$
    LOG_OPTION_SOURCE = 0x08,     // [file:%5d]$
    LOG_OPTION_EXE_NAME = 0x10,   // [exe name]$
    LOG_OPTION_FUNCTION = 0x20,   // [function()]$
};

struct LogLineFields {
    SYSTEMTIME localTime{};
    DWORD level = 0;
    DWORD options = LOG_OPTION_EXE_NAME;
    const wchar_t* exeName = nullptr;
    DWORD processId = 0;
    DWORD threadId = 0;
    const wchar_t* file = nullptr;
    int line = 0;
    const wchar_t* function = nullptr;
    const wchar_t* text = nullptr;
};

// Builds the line into `out`. False (and `out` untouched) when the text is
// null or empty or the level is outside 1 to 6: such a line is never written.
[[nodiscard]] bool BuildLogLine(const LogLineFields& fields, std::wstring& out);

// "01/02/2026 12:05:09 AM$": month, day, year, 12-hour clock.
std::wstring FormatLogTimestamp(const SYSTEMTIME& time);
