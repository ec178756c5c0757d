#include "common/Platform.h"

#include "testbed/Observe.h"

#include "common/UniqueHandle.h"
#include "testbed/StandinSupport.h"

#include <cwchar>

namespace observe {
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
bool ParseLogLine(const std::wstring& raw, DWORD options, LogLine& out)
{
    out = LogLine{};
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

std::vector<BYTE> ReadFileBytes(const std::wstring& path)
{
    std::vector<BYTE> bytes;
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!file) return bytes;
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.Get(), &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty()) ::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

std::wstring CompanionJournal(const std::wstring& role)
{
    const std::wstring key = standin::kTestbedKey + role;
    return standin::JournalPath(key.c_str(), (standin::kJournalFolder + role + L".journal").c_str());
}

std::vector<CompanionRun> CompanionRuns(const std::wstring& role)
{
    std::vector<CompanionRun> runs;
    for (const std::wstring& line : JournalLines<wchar_t>(CompanionJournal(role))) {
        CompanionRun& run = runs.emplace_back();
        for (size_t start = 0, end = 0; end != line.npos; start = end + 1) {
            const size_t equals = line.find(L'=', start);
            // The command line comes last and may hold anything.
            end = line.compare(start, 8, L"command=") == 0 ? line.npos : line.find(L'\t', start);
            run[line.substr(start, equals - start)] = line.substr(equals + 1, end - equals - 1);
        }
    }
    return runs;
}

std::vector<LogLine> ReadLogFile(const std::wstring& path, DWORD options, bool* hasBom)
{
    std::vector<LogLine> lines;
    const std::vector<BYTE> bytes = ReadFileBytes(path);
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
        LogLine line;
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

std::vector<LogLine> ReadProgramLog(const std::wstring& folder, DWORD options)
{
    std::vector<LogLine> all;
    for (int index = 0; index < 100; ++index) {
        wchar_t name[32];
        swprintf(name, 32, L"\\QELCommonBuild%03d.log", index);
        const auto lines = ReadLogFile(folder + name, options);
        all.insert(all.end(), lines.begin(), lines.end());
    }
    return all;
}

}  // namespace observe
