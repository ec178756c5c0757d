#include "common/Platform.h"

#include "logging/LogLine.h"

#include <gtest/gtest.h>

namespace {

SYSTEMTIME At(WORD hour, WORD minute = 5, WORD second = 9)
{
    SYSTEMTIME t{};
    t.wYear = 2026;
    t.wMonth = 1;
    t.wDay = 2;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

TEST(LogLineTest, TimestampUsesTwelveHourClock)
{
    const struct {
        WORD hour;
        const wchar_t* expected;
    } cases[] = {
        {0, L"01/02/2026 12:05:09 AM$"},  {1, L"01/02/2026 01:05:09 AM$"},  {11, L"01/02/2026 11:05:09 AM$"},
        {12, L"01/02/2026 12:05:09 PM$"}, {13, L"01/02/2026 01:05:09 PM$"}, {23, L"01/02/2026 11:05:09 PM$"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatLogTimestamp(At(c.hour)), c.expected) << "hour " << c.hour;
}

struct LayoutCase {
    const char* name;
    DWORD options;
    const wchar_t* exe;
    const wchar_t* file;
    const wchar_t* function;
    const wchar_t* text;
    const wchar_t* expected;
};

TEST(LogLineTest, OptionPiecesAreCutAlignedAndSeparated)
{
    const wchar_t* stamp = L"01/02/2026 01:05:09 PM$ -- (Error)$";
    const LayoutCase cases[] = {
        {"no options", 0, L"QELCommonBuild.exe", L"a.cpp", L"F", L"hello", L" hello\r\n"},
        {"exe name", 0x10, L"QELCommonBuild.exe", nullptr, nullptr, L"hello", L" [QELCommonBuild.]$ hello\r\n"},
        {"short exe right-aligned", 0x10, L"a.exe", nullptr, nullptr, L"x", L" [          a.exe]$ x\r\n"},
        {"empty exe keeps the blank", 0x10, L"", nullptr, nullptr, L"x", L"  x\r\n"},
        {"process ids", 0x04, nullptr, nullptr, nullptr, L"x", L" [PID:  321 TID:    7]$ x\r\n"},
        {"source after last backslash", 0x08, nullptr, L"d:\\src\\app\\QELCommonBuild.cpp", nullptr, L"x",
         L" [  QELCommonBuild.cpp:   42]$ x\r\n"},
        {"source cut to 20", 0x08, nullptr, L"AVeryLongSourceFileName.cpp", nullptr, L"x",
         L" [AVeryLongSourceFileN:   42]$ x\r\n"},
        {"function aligned in 40", 0x20, nullptr, nullptr, L"CJobFactory::GetJobObject", L"x",
         L" [               CJobFactory::GetJobObject()]$ x\r\n"},
        {"function cut to 40", 0x20, nullptr, nullptr, L"Namespace::AVeryLongClassName::AVeryLongMethodName", L"x",
         L" [Namespace::AVeryLongClassName::AVeryLong()]$ x\r\n"},
        {"empty source and function keep their blanks", 0x28, nullptr, L"", nullptr, L"x", L"   x\r\n"},
        {"all pieces in order", 0x3C, L"q.exe", L"f.cpp", L"G", L"x",
         L" [          q.exe]$ [PID:  321 TID:    7]$ [               f.cpp:   42]$ "
         L"[                                       G()]$ x\r\n"},
        {"debugger bit adds nothing to the line", 0x01, L"q.exe", nullptr, nullptr, L"x", L" x\r\n"},
        {"own line feed gets no CRLF", 0, nullptr, nullptr, nullptr, L"done\n", L" done\n"},
        {"CRLF text keeps its end", 0, nullptr, nullptr, nullptr, L"done\r\n", L" done\r\n"},
    };
    for (const auto& c : cases) {
        LogLineFields f;
        f.localTime = At(13);
        f.level = 4;
        f.options = c.options;
        f.exeName = c.exe;
        f.processId = 321;
        f.threadId = 7;
        f.file = c.file;
        f.line = 42;
        f.function = c.function;
        f.text = c.text;
        std::wstring line;
        ASSERT_TRUE(BuildLogLine(f, line)) << c.name;
        EXPECT_EQ(line, std::wstring(stamp) + c.expected) << c.name;
    }
}

TEST(LogLineTest, LevelNamesAndRefusals)
{
    const struct {
        DWORD level;
        const wchar_t* name;
    } names[] = {{1, L"Normal"},   {2, L"Warning"},  {3, L"Information"},
                 {4, L"Error"},    {5, L"Critical"}, {6, L"Information"}};
    for (const auto& n : names) {
        LogLineFields f;
        f.localTime = At(9);
        f.options = 0;
        f.level = n.level;
        f.text = L"t";
        std::wstring line;
        ASSERT_TRUE(BuildLogLine(f, line));
        EXPECT_EQ(line, std::wstring(L"01/02/2026 09:05:09 AM$ -- (") + n.name + L")$ t\r\n");
    }

    const struct {
        DWORD level;
        const wchar_t* text;
    } refused[] = {{0, L"t"}, {7, L"t"}, {3, L""}, {3, nullptr}};
    for (const auto& r : refused) {
        LogLineFields f;
        f.level = r.level;
        f.text = r.text;
        std::wstring line = L"untouched";
        EXPECT_FALSE(BuildLogLine(f, line)) << "level " << r.level;
        EXPECT_EQ(line, L"untouched");
    }
}

}  // namespace
