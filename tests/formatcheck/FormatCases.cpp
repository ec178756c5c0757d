// Calls of the formatting functions that must build, and calls each of which
// must fail to build with the rule named in its "refused:" comment
// (format-check.sh compiles this file, never links it).
#include "common/Platform.h"

#include "logging/Log.h"
#include "logging/StratumLogger.h"
#include "common/WideFormat.h"

#include <string>

namespace {

enum Answer { kYes = 1 };
constexpr const wchar_t* kNamedFormat = L"named %s";

void PassedOn(WideFormatString<DWORD> format, DWORD code) { QEL_LOG_AS(LOG_ERROR, L"F.cpp", L"F", format, code); }

}  // namespace

// Every conversion form the program's texts use, with the argument types that
// go with it in 32-bit and 64-bit builds alike.
void Accepted(DWORD code, LONG status, HRESULT hr, WORD word, BYTE byte, size_t size, ULONGLONG big, HANDLE handle,
              const wchar_t* text, wchar_t* buffer, const std::wstring& owned, const char* narrow)
{
    wchar_t array[4] = L"abc";
    QEL_LOG(LOG_ERROR, L"%s %s %s %ls %s", text, buffer, array, owned.c_str(), L"literal");
    QEL_LOG(LOG_ERROR, L"%d %u %lu %ld %i %x %08X %08lx %5lu %0.3lu %03d", code, code, code, status, code, code, hr,
            hr, code, code, static_cast<int>(code));
    QEL_LOG(LOG_ERROR, L"%02hu %hu %02x %02X %c %d %d", word, word, byte, byte, L'c', true, kYes);
    QEL_LOG(LOG_ERROR, L"%Iu %I64u %llu %p %p %p %hs %S", size, big, big, handle, text, nullptr, narrow, narrow);
    QEL_LOG(LOG_ERROR, L"100%% %-5d|%*s|%.*s|%f", 1, 5, text, 2, text, 0.5);
    QEL_LOG(LOG_ERROR, kNamedFormat, text);
    QEL_LOG(LOG_ERROR, RuntimeFormat(owned.c_str()), code);
    LogWriteRef(LOG_ERROR, L"F.cpp", L"F", 1, L"%u", code);
    Stratum::CLogger::Log(Stratum::STRATUM_LOG_ERROR, L"F.cpp", L"F", 1, L"%s: 0x%08X", text, 5u);
    PassedOn(L"failed with %d", code);
    (void)FormatWide(L"%s\\%04X%04X", text, word, word);
}

#ifndef QEL_ACCEPTED_ONLY
void Refused(DWORD code, ULONGLONG big, size_t size, const wchar_t* text, const std::wstring& owned,
             const std::string& narrowOwned)
{
    QEL_LOG(LOG_ERROR, L"%s", code);                      // refused: s_takes_a_wide_string
    QEL_LOG(LOG_ERROR, L"%s", "narrow");                  // refused: s_takes_a_wide_string
    QEL_LOG(LOG_ERROR, L"%hs", text);                     // refused: hs_and_S_take_a_narrow_string
    QEL_LOG(LOG_ERROR, L"%d", text);                      // refused: integer_conversion_takes_an_integer_of_its_size
    QEL_LOG(LOG_ERROR, L"%llu", code);                    // refused: integer_conversion_takes_an_integer_of_its_size
    QEL_LOG(LOG_ERROR, L"%u %s", big, text);              // refused: integer_conversion_takes_an_integer_of_its_size
    QEL_LOG(LOG_ERROR, L"%p", code);                      // refused: p_takes_a_pointer
    QEL_LOG(LOG_ERROR, L"%c", text);                      // refused: c_takes_a_character
    QEL_LOG(LOG_ERROR, L"%f", code);                      // refused: floating_conversion_takes_a_double
    QEL_LOG(LOG_ERROR, L"%*s", text, text);               // refused: star_takes_an_int
    QEL_LOG(LOG_ERROR, L"%d %s", code);                   // refused: more_conversions_than_arguments
    QEL_LOG(LOG_ERROR, L"%d", code, text);                // refused: more_arguments_than_conversions
    QEL_LOG(LOG_ERROR, L"no conversion", code);           // refused: more_arguments_than_conversions
    QEL_LOG(LOG_ERROR, L"%zu", size);                     // refused: conversion_unknown_to_the_c_runtime
    QEL_LOG(LOG_ERROR, L"%n", &code);                     // refused: conversion_unknown_to_the_c_runtime
    QEL_LOG(LOG_ERROR, L"100%");                          // refused: conversion_unknown_to_the_c_runtime
    QEL_LOG(LOG_ERROR, L"%s", owned);                     // refused: must be plain values
    QEL_LOG(LOG_ERROR, RuntimeFormat(text), narrowOwned); // refused: must be plain values
    QEL_LOG_AS(LOG_ERROR, L"F.cpp", L"F", L"%u", text);   // refused: integer_conversion_takes_an_integer_of_its_size
    LogWriteRef(LOG_ERROR, L"F.cpp", L"F", 1, L"%s", code);  // refused: s_takes_a_wide_string
    (void)FormatWide(L"%s", code);                        // refused: s_takes_a_wide_string
    Stratum::CLogger::Log(1, L"F.cpp", L"F", 1, L"%d");   // refused: more_conversions_than_arguments
    PassedOn(L"failed with %s", code);                    // refused: s_takes_a_wide_string
    QEL_LOG(LOG_ERROR, text, code);                       // refused: is not a constant expression
}
#endif
