#include "common/Platform.h"

#include "tests/support/LogFile.h"

#include "tests/support/Machine.h"

std::vector<LogFileLine> ReadProgramLog() { return observe::ReadProgramLog(testmachine::LogFolder(), 0x3C); }

std::vector<std::wstring> LogTexts(const std::vector<LogFileLine>& lines)
{
    std::vector<std::wstring> texts;
    for (const auto& l : lines) texts.push_back(l.text);
    return texts;
}

int FindLogText(const std::vector<LogFileLine>& lines, const std::wstring& text, size_t from)
{
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].text == text) return static_cast<int>(i);
    }
    return -1;
}
