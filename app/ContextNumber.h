// The scheduler's command line ("/context=N") read as a context number.
// Portable: no platform header; fuzz/ builds it with the host's compiler too
// (on Linux wchar_t is 32 bits, each one holding one UTF-16 code unit).
#pragma once

#include <string>

namespace job_dispatch {

// The context number of a command line, 0 when there is none. Works on the
// caller's copy: trims it and lower-cases it in place (the "Bad command line"
// message shows that form).
int ParseContextId(std::wstring& commandLine);
// The number after "/context=": leading blanks, a sign, ASCII digits; 0 when none.
int ContextNumber(const std::wstring& text);

}  // namespace job_dispatch
