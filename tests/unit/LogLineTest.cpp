#include "common/Platform.h"

#include "logging/LogLine.h"

#include <gtest/gtest.h>

namespace {

SYSTEMTIME At(WORD hour)
{
    SYSTEMTIME t{};
    t.wYear = 2026, t.wMonth = 1, t.wDay = 2, t.wHour = hour, t.wMinute = 5, t.wSecond = 9;
    return t;
}

TEST(LogLineTest, TimestampUsesTwelveHourClock)
{
    const std::pair<WORD, const wchar_t*> cases[] = {
        {0, L"01/02/2026 12:05:09 AM$"}, {11, L"01/02/2026 11:05:09 AM$"},
        {12, L"01/02/2026 12:05:09 PM$"}, {13, L"01/02/2026 01:05:09 PM$"}};
    for (const auto& [hour, expected] : cases) EXPECT_EQ(FormatLogTimestamp(At(hour)), expected) << "hour " << hour;
}

TEST(LogLineTest, LevelAndOptionPiecesAreCutAlignedAndSeparated)
{
    const struct {
        const char* name;
        DWORD options, level;
        const wchar_t *exe, *file, *function, *text;
        const wchar_t* expected;  // after "01/02/2026 01:05:09 PM$ -- ("; nullptr: refused
    } cases[] = {
        {"no options", 0, 4, L"QELCommonBuild.exe", L"a.cpp", L"F", L"hello", L"Error)$ hello\r\n"},
        {"all pieces in order, source after the last backslash", 0x3C, 4, L"q.exe", L"d:\\src\\f.cpp", L"G", L"x",
         L"Error)$ [          q.exe]$ [PID:  321 TID:    7]$ [               f.cpp:   42]$ "
         L"[                                       G()]$ x\r\n"},
        {"source cut to 20", 0x08, 4, nullptr, L"AVeryLongSourceFileName.cpp", nullptr, L"x",
         L"Error)$ [AVeryLongSourceFileN:   42]$ x\r\n"},
        {"function cut to 40", 0x20, 4, nullptr, nullptr, L"Namespace::AVeryLongClassName::AVeryLongMethodName", L"x",
         L"Error)$ [Namespace::AVeryLongClassName::AVeryLong()]$ x\r\n"},
        {"empty pieces keep their blanks", 0x38, 4, L"", L"", nullptr, L"x", L"Error)$    x\r\n"},
        {"debugger bit adds nothing to the line", 0x01, 4, L"q.exe", nullptr, nullptr, L"x", L"Error)$ x\r\n"},
        {"own line feed gets no CRLF", 0, 4, nullptr, nullptr, nullptr, L"done\n", L"Error)$ done\n"},
        {"CRLF text keeps its end", 0, 4, nullptr, nullptr, nullptr, L"done\r\n", L"Error)$ done\r\n"},
        {"level 1", 0, 1, nullptr, nullptr, nullptr, L"t", L"Normal)$ t\r\n"},
        {"level 2", 0, 2, nullptr, nullptr, nullptr, L"t", L"Warning)$ t\r\n"},
        {"level 5", 0, 5, nullptr, nullptr, nullptr, L"t", L"Critical)$ t\r\n"},
        {"level 6", 0, 6, nullptr, nullptr, nullptr, L"t", L"Information)$ t\r\n"},
        {"level 0 refused", 0, 0, nullptr, nullptr, nullptr, L"t", nullptr},
        {"level 7 refused", 0, 7, nullptr, nullptr, nullptr, L"t", nullptr},
        {"empty text refused", 0, 3, nullptr, nullptr, nullptr, L"", nullptr},
        {"no text refused", 0, 3, nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const LogLineFields f{At(13), c.level, c.options, c.exe, 321, 7, c.file, 42, c.function, c.text};
        std::wstring line = L"untouched";
        EXPECT_EQ(BuildLogLine(f, line), c.expected != nullptr) << c.name;
        EXPECT_EQ(line, c.expected ? std::wstring(L"01/02/2026 01:05:09 PM$ -- (") + c.expected : L"untouched")
            << c.name;
    }
}

}  // namespace
