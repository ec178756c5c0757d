// Reads a program's text log back as parsed lines (testbed/Observe.h), so
// scenario tests assert on exactly what a support engineer would read.
#pragma once

#include "common/Platform.h"

#include "testbed/Observe.h"

#include <string>
#include <vector>

using LogFileLine = observe::LogLine;
using observe::ReadLogFile;

// All lines of the program's log files with the options used by
// testmachine::EnableFileLogging.
std::vector<LogFileLine> ReadProgramLog();

std::vector<std::wstring> LogTexts(const std::vector<LogFileLine>& lines);
// Index of the first line with exactly this text at or after `from`; -1 when none.
int FindLogText(const std::vector<LogFileLine>& lines, const std::wstring& text, size_t from = 0);
