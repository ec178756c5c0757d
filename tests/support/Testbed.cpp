#include "common/Platform.h"

#include "tests/support/Testbed.h"

#include "testbed/StandinSupport.h"
#include "tests/support/Machine.h"

namespace testbed {
namespace {

constexpr wchar_t kTelemetryClassKey[] = L"SOFTWARE\\Classes\\CLSID\\{B62A9F7D-4F97-4740-9EEE-3554F2AD2E4B}";
// Asked on every use: a "JournalPath" knob may move a journal.
std::wstring TelemetryJournal() { return standin::JournalPath(standin::kTelemetryKey, standin::kTelemetryJournal); }
std::wstring KrsJournal() { return standin::JournalPath(standin::kKrsIntegrateKey, standin::kKrsIntegrateJournal); }
std::wstring TsGuardJournal() { return standin::JournalPath(standin::kTsGuardKey, standin::kTsGuardJournal); }

// The journal's lines, each ended by one line feed, as characters of type Char.
template <typename Char>
std::vector<std::basic_string<Char>> JournalLines(const std::wstring& path)
{
    const std::vector<BYTE> bytes = testmachine::ReadBytes(path);
    const std::basic_string<Char> text(reinterpret_cast<const Char*>(bytes.data()), bytes.size() / sizeof(Char));
    std::vector<std::basic_string<Char>> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(Char('\n'), start)) != text.npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace

void RegisterTelemetryClient()
{
    const std::wstring server = std::wstring(kTelemetryClassKey) + L"\\InprocServer32";
    testmachine::SetString(server, L"", testmachine::BinDir() + L"\\ZEPClient.dll");
    testmachine::SetString(server, L"ThreadingModel", L"Both");
}
void UnregisterTelemetryClient() { testmachine::DeleteTree(kTelemetryClassKey); }
void SetTelemetryKnob(const std::wstring& n, DWORD v) { testmachine::SetDword(standin::kTelemetryKey, n, v); }
void ClearTelemetryKnobs() { testmachine::DeleteTree(standin::kTelemetryKey); }
std::vector<std::wstring> TelemetryRequests() { return JournalLines<wchar_t>(TelemetryJournal()); }
void ClearTelemetryJournal() { ::DeleteFileW(TelemetryJournal().c_str()); }

void SetKrsIntegrateKnob(const std::wstring& n, DWORD v) { testmachine::SetDword(standin::kKrsIntegrateKey, n, v); }
void ClearKrsIntegrateKnobs() { testmachine::DeleteTree(standin::kKrsIntegrateKey); }
std::vector<std::string> KrsIntegrateCalls() { return JournalLines<char>(KrsJournal()); }
void ClearKrsIntegrateJournal() { ::DeleteFileW(KrsJournal().c_str()); }

void SetTsGuardKnob(const std::wstring& n, DWORD v) { testmachine::SetDword(standin::kTsGuardKey, n, v); }
void ClearTsGuardKnobs() { testmachine::DeleteTree(standin::kTsGuardKey); }
std::vector<std::string> TsGuardCalls() { return JournalLines<char>(TsGuardJournal()); }
void ClearTsGuardJournal() { ::DeleteFileW(TsGuardJournal().c_str()); }

std::wstring TrustSample(const std::wstring& name) { return testmachine::BinDir() + L"\\trust\\" + name; }

}  // namespace testbed
