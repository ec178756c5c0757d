#include "common/UnsafeText.h"

#include <regex>

bool HasUnsafeSequence(const std::wstring& text)
{
    // Compiled once (ECMAScript grammar). Alternatives in order: the character
    // class; a raw CR; a raw LF; backslash-r; backslash-n; both of those in a
    // row; a double quote; the text "0x0f"; the text "%00".
    static const std::wregex kPattern(L"[@&;'%]|(\r)|(\n)|(\\\\r)|(\\\\n)|(\\\\r\\\\n)|(\")|(0x0f)|(%00)",
                                      std::regex_constants::ECMAScript);
    return std::regex_search(text, kPattern);
}
