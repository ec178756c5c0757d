// What the code under test writes to the debugger output while the capture
// lives. OutputDebugStringW ends in the narrow exception when nobody takes the
// wide one.
#pragma once

#include "common/Platform.h"

#include <string>
#include <vector>

class DebugOutputCapture {
public:
    DebugOutputCapture() : m_handler(::AddVectoredExceptionHandler(1, Catch)) { s_lines = &lines; }
    ~DebugOutputCapture()
    {
        ::RemoveVectoredExceptionHandler(m_handler);
        s_lines = nullptr;
    }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    std::vector<std::wstring> lines;

private:
    static LONG CALLBACK Catch(EXCEPTION_POINTERS* e)
    {
        const EXCEPTION_RECORD& r = *e->ExceptionRecord;
        if (!s_lines || r.ExceptionCode != DBG_PRINTEXCEPTION_C) return EXCEPTION_CONTINUE_SEARCH;
        const std::string text(reinterpret_cast<const char*>(r.ExceptionInformation[1]));
        s_lines->push_back(std::wstring(text.begin(), text.end()));
        return EXCEPTION_CONTINUE_EXECUTION;
    }

    static inline std::vector<std::wstring>* s_lines = nullptr;
    void* m_handler;
};
