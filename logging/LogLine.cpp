#include "common/Platform.h"

#include "logging/LogLine.h"

#include "common/WideFormat.h"
#include "logging/Log.h"

#include <cwchar>

namespace {

// Copies at most `width` characters of `source` and prints them right-aligned
// in a field of that width (the format is built as "%%%lus" -> "%15s", so
// only the format that builds it is checked while compiling).
std::wstring CutAndAlign(const wchar_t* source, unsigned long width)
{
    std::wstring cut(source, wcsnlen(source, width));
    const std::wstring format = FormatWide(L"%%%lus", width);
    return FormatWide(RuntimeFormat(format.c_str()), cut.c_str());
}

bool HasText(const wchar_t* s) { return s && *s; }

const wchar_t* AfterLastBackslash(const wchar_t* path)
{
    const wchar_t* slash = wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

}  // namespace

std::wstring FormatLogTimestamp(const SYSTEMTIME& t)
{
    // Hours 0-11 are AM (0 shown as 12); 12-23 are PM (12 stays, 13-23 become 1-11).
    const bool pm = t.wHour >= 12;
    WORD hour = static_cast<WORD>(t.wHour % 12);
    if (hour == 0) hour = 12;
    return FormatWide(L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", t.wMonth, t.wDay, t.wYear, hour, t.wMinute,
                      t.wSecond, pm ? L"PM" : L"AM");
}

bool BuildLogLine(const LogLineFields& f, std::wstring& out)
{
    const wchar_t* levelName = LogLevelName(f.level);
    if (!HasText(f.text) || !levelName) return false;

    std::wstring line = FormatWide(L"%s -- (%s)$", FormatLogTimestamp(f.localTime).c_str(), levelName);
    if (f.options & LOG_OPTION_EXE_NAME) {
        line += L' ';
        if (HasText(f.exeName)) line += FormatWide(L"[%s]$", CutAndAlign(f.exeName, 15).c_str());
    }
    if (f.options & LOG_OPTION_PROCESS) {
        line += L' ';
        line += FormatWide(L"[PID:%5lu TID:%5lu]$", f.processId, f.threadId);
    }
    if (f.options & LOG_OPTION_SOURCE) {
        line += L' ';
        if (HasText(f.file)) {
            line += FormatWide(L"[%s:%5d]$", CutAndAlign(AfterLastBackslash(f.file), 20).c_str(), f.line);
        }
    }
    if (f.options & LOG_OPTION_FUNCTION) {
        line += L' ';
        if (HasText(f.function)) line += FormatWide(L"[%s()]$", CutAndAlign(f.function, 40).c_str());
    }
    line += L' ';
    line += f.text;
    const size_t len = wcslen(f.text);
    if (f.text[len - 1] != L'\n') line += L"\r\n";
    out.swap(line);
    return true;
}
