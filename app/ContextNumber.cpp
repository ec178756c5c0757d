#include "app/ContextNumber.h"

#include <algorithm>
#include <climits>
#include <cwctype>
#include <vector>

namespace job_dispatch {

int ParseContextId(std::wstring& commandLine)
{
    if (commandLine.empty()) return 0;

    size_t begin = 0;
    size_t end = commandLine.size();
    while (begin < end && std::iswspace(commandLine[begin])) ++begin;
    while (end > begin && std::iswspace(commandLine[end - 1])) --end;
    commandLine = commandLine.substr(begin, end - begin);
    for (auto& c : commandLine) c = static_cast<wchar_t>(std::towlower(c));

    std::vector<std::wstring> pieces;
    size_t start = 0;
    for (;;) {
        const size_t equals = commandLine.find(L'=', start);
        pieces.push_back(commandLine.substr(start, equals - start));
        if (equals == std::wstring::npos) break;
        start = equals + 1;
    }
    if (pieces.size() < 2 || pieces[0] != L"/context") return 0;
    return ContextNumber(pieces[1]);
}

// Leading blanks, an optional sign, digits up to the first non-digit. Only
// 0-9 are digits: the runtime's number reading would also take look-alikes
// (fullwidth or Arabic-Indic digits) for a job's number. A number too large
// for 32 bits stands at the nearest end of the range, as the runtime's does.
int ContextNumber(const std::wstring& text)
{
    size_t at = 0;
    while (at < text.size() && std::iswspace(text[at])) ++at;
    const bool negative = at < text.size() && text[at] == L'-';
    if (at < text.size() && (text[at] == L'-' || text[at] == L'+')) ++at;
    long long value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        value = std::min(value * 10 + (text[at] - L'0'), 1LL << 31);
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp(value, static_cast<long long>(INT_MIN), static_cast<long long>(INT_MAX)));
}

}  // namespace job_dispatch
