#include "common/Platform.h"

#include "tests/support/LogFile.h"

#include "tests/support/Machine.h"

#include <cwchar>

namespace {

std::wstring Trim(const std::wstring& s)
{
    const size_t b = s.find_first_not_of(L' ');
    return b == std::wstring::npos ? std::wstring() : s.substr(b, s.find_last_not_of(L' ') - b + 1);
}

// Reads " [....]$" at `pos` into `piece`, trimmed; an empty piece is just the blank.
bool ReadPiece(const std::wstring& raw, size_t& pos, std::wstring& piece)
{
    if (pos >= raw.size() || raw[pos] != L' ') return false;
    ++pos;
    piece.clear();
    if (pos < raw.size() && raw[pos] == L'[') {
        const size_t end = raw.find(L"]$", pos);
        if (end == std::wstring::npos) return false;
        piece = Trim(raw.substr(pos + 1, end - pos - 1));
        pos = end + 2;
    }
    return true;
}

// Splits a line built with the given options word into its pieces.
bool ParseLogLine(const std::wstring& raw, DWORD options, LogFileLine& out)
{
    out = LogFileLine{};
    out.raw = raw;
    const size_t stamp = raw.find(L"$ -- (");
    const size_t levelEnd = raw.find(L")$", stamp);
    if (stamp == std::wstring::npos || levelEnd == std::wstring::npos) return false;
    out.time = raw.substr(0, stamp);
    out.level = raw.substr(stamp + 6, levelEnd - stamp - 6);
    size_t pos = levelEnd + 2;
    std::wstring piece;
    if ((options & 0x10) && !ReadPiece(raw, pos, out.exe)) return false;
    if ((options & 0x04) && !ReadPiece(raw, pos, out.process)) return false;
    if (options & 0x08) {
        if (!ReadPiece(raw, pos, piece)) return false;
        const size_t colon = piece.rfind(L':');
        if (colon != std::wstring::npos) {
            out.source = Trim(piece.substr(0, colon));
            out.line = _wtoi(piece.c_str() + colon + 1);
        }
    }
    if (options & 0x20) {
        if (!ReadPiece(raw, pos, out.function)) return false;
        if (out.function.size() >= 2 && out.function.compare(out.function.size() - 2, 2, L"()") == 0) {
            out.function.resize(out.function.size() - 2);
        }
    }
    if (pos >= raw.size() || raw[pos] != L' ') return false;
    out.text = raw.substr(pos + 1);
    return true;
}

}  // namespace

std::vector<LogFileLine> ReadLogFile(const std::wstring& path, DWORD options, bool* hasBom)
{
    std::vector<LogFileLine> lines;
    const std::vector<BYTE> bytes = testmachine::ReadBytes(path);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    const bool bom = !text.empty() && text[0] == 0xFEFF;
    if (hasBom) *hasBom = bom;
    if (bom) text.erase(0, 1);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring raw = text.substr(start, end - start);
        const bool lineFeedOnly = end < text.size() && (raw.empty() || raw.back() != L'\r');
        if (!raw.empty() && raw.back() == L'\r') raw.pop_back();
        LogFileLine line;
        if (ParseLogLine(raw, options, line)) {
            // A message that ended in its own line feed got no "\r\n" added.
            if (lineFeedOnly) line.text += L"\n";
            lines.push_back(line);
        } else if (!lines.empty()) {
            // A message with a line feed of its own continues on the next line.
            lines.back().text += L"\n" + raw;
        }
        start = end + 1;
    }
    return lines;
}

std::vector<LogFileLine> ReadProgramLog()
{
    std::vector<LogFileLine> all;
    for (int index = 0; index < 100; ++index) {
        wchar_t name[32];
        swprintf(name, 32, L"\\QELCommonBuild%03d.log", index);
        const std::wstring path = testmachine::LogFolder() + name;
        if (!testmachine::FileExists(path)) continue;
        const auto lines = ReadLogFile(path, 0x3C);
        all.insert(all.end(), lines.begin(), lines.end());
    }
    return all;
}

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
