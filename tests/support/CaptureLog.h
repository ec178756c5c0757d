// Every test program logs into a capturing logger (installed by the test main
// before the first log call), so tests can assert on what the code logged.
#pragma once

#include "common/Platform.h"
#include "logging/LoggingIf.h"

#include <mutex>
#include <string>
#include <vector>

struct CapturedLine {
    DWORD level = 0;
    std::wstring file;
    std::wstring function;
    int line = 0;
    std::wstring text;
};

class CaptureLogger : public ETWLogging::CLoggingIf {
public:
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, DWORD) override { return ERROR_SUCCESS; }
    DWORD EnsureReady() override { return ERROR_SUCCESS; }
    DWORD LogText(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text) override;
    BOOL IsLevelEnabled(DWORD level) override { return level >= m_threshold; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

    void Clear();
    std::vector<CapturedLine> Lines() const;
    // Lines whose text equals `text` exactly.
    size_t Count(const std::wstring& text) const;
    bool Has(const std::wstring& text) const { return Count(text) > 0; }
    // The first line with this exact text; a default line (level 0) when none.
    CapturedLine Find(const std::wstring& text) const;
    // Texts only, in order.
    std::vector<std::wstring> Texts() const;
    void SetThreshold(DWORD threshold) { m_threshold = threshold; }

private:
    mutable std::mutex m_mutex;
    std::vector<CapturedLine> m_lines;
    DWORD m_threshold = 1;
};

// The process's capturing logger.
CaptureLogger& TestLog();
// Makes TestLog() the process logger; call before the first log call.
void CaptureLogLines();
