// Reads a program's text log back as parsed lines, so scenario tests assert on
// exactly what a support engineer would read.
#pragma once

#include "common/Platform.h"

#include <string>
#include <vector>

struct LogFileLine {
    std::wstring time;      // "12/05/2026 05:46:10 PM"
    std::wstring level;     // "Information"
    std::wstring exe;       // option 0x10 piece, trimmed
    std::wstring process;   // option 0x04 piece, e.g. "PID:  123 TID:   45"
    std::wstring source;    // option 0x08 file name, trimmed, e.g. "QELCommonBuild.cpp"
    int line = 0;
    std::wstring function;  // option 0x20, trimmed, without "()"
    std::wstring text;      // the message, without the line end
    std::wstring raw;
};

// Every line of one log file (UTF-16LE with BOM) built with the given options
// word; `hasBom` reports the BOM.
std::vector<LogFileLine> ReadLogFile(const std::wstring& path, DWORD options, bool* hasBom = nullptr);

// All lines of the program's log files (index 000 upward) with the options used
// by testmachine::EnableFileLogging.
std::vector<LogFileLine> ReadProgramLog();

std::vector<std::wstring> LogTexts(const std::vector<LogFileLine>& lines);
// Index of the first line with exactly this text at or after `from`; -1 when none.
int FindLogText(const std::vector<LogFileLine>& lines, const std::wstring& text, size_t from = 0);
