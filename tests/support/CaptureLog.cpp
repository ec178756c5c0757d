#include "common/Platform.h"

#include "tests/support/CaptureLog.h"

DWORD CaptureLogger::LogText(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                             const wchar_t* text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back({level, file ? file : L"", function ? function : L"", line, text ? text : L""});
    return ERROR_SUCCESS;
}

void CaptureLogger::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

std::vector<CapturedLine> CaptureLogger::Lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

// The queries below work on a copy, so a line logged meanwhile never races them.
size_t CaptureLogger::Count(const std::wstring& text) const
{
    size_t n = 0;
    for (const auto& l : Lines()) n += l.text == text ? 1 : 0;
    return n;
}

CapturedLine CaptureLogger::Find(const std::wstring& text) const
{
    for (const auto& l : Lines()) {
        if (l.text == text) return l;
    }
    return CapturedLine{};
}

std::vector<std::wstring> CaptureLogger::Texts() const
{
    std::vector<std::wstring> texts;
    for (const auto& l : Lines()) texts.push_back(l.text);
    return texts;
}

CaptureLogger& TestLog()
{
    static CaptureLogger logger;
    return logger;
}

void CaptureLogLines()
{
    struct Builder : ETWLogging::CLogBuilderIf {
        bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger) override
        {
            *logger = &TestLog();
            return true;
        }
    };
    static Builder builder;
    ETWLogging::UseLogBuilder(&builder);
}
