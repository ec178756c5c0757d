// Reading what the machine's programs leave behind: files, the stand-ins'
// journals (README.md) and the job runner's text log split into its pieces.
// The demo's report (qelsandbox) and the tests read them alike.
#pragma once

#include "common/Platform.h"

#include <map>
#include <string>
#include <vector>

namespace observe {

// The whole file, read while others may write it; empty when it cannot be opened.
std::vector<BYTE> ReadFileBytes(const std::wstring& path);

// A journal's lines, each ended by one line feed, as characters of type Char:
// the companions write UTF-16LE, the libraries single bytes.
template <typename Char>
std::vector<std::basic_string<Char>> JournalLines(const std::wstring& path)
{
    const std::vector<BYTE> bytes = ReadFileBytes(path);
    const std::basic_string<Char> text(reinterpret_cast<const Char*>(bytes.data()), bytes.size() / sizeof(Char));
    std::vector<std::basic_string<Char>> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(Char('\n'), start)) != text.npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// The journal of the companion stand-in in `role` (its file name without extension).
std::wstring CompanionJournal(const std::wstring& role);
// One start of a companion: "pid", "session", "desktop", "directory", "marker",
// "exit", "command" (the post-install side: "signal").
using CompanionRun = std::map<std::wstring, std::wstring>;
std::vector<CompanionRun> CompanionRuns(const std::wstring& role);

// One line of the job runner's log.
struct LogLine {
    std::wstring time;      // "12/05/2026 05:46:10 PM"
    std::wstring level;     // "Information"
    std::wstring exe;       // option 0x10 piece, trimmed
    std::wstring process;   // option 0x04 piece, e.g. "PID:  123 TID:   45"
    std::wstring source;    // option 0x08 file name, trimmed, e.g. "QELCommonBuild.cpp"
    int line = 0;
    std::wstring function;  // option 0x20, trimmed, without "()"
    std::wstring text;      // the message, without the line end; a message's own line feeds kept
    std::wstring raw;
};

// Every line of one log file (UTF-16LE with BOM) built with the given options
// word; `hasBom` reports the BOM.
std::vector<LogLine> ReadLogFile(const std::wstring& path, DWORD options, bool* hasBom = nullptr);
// All lines of the job runner's log files in `folder` (index 000 upward).
std::vector<LogLine> ReadProgramLog(const std::wstring& folder, DWORD options);

}  // namespace observe
