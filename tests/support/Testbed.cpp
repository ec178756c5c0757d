#include "common/Platform.h"

#include "tests/support/Testbed.h"

#include "testbed/StandinSupport.h"
#include "tests/support/Machine.h"

namespace testbed {
namespace {

constexpr wchar_t kTelemetryClassKey[] = L"SOFTWARE\\Classes\\CLSID\\{B62A9F7D-4F97-4740-9EEE-3554F2AD2E4B}";

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace

std::wstring TelemetryClientPath() { return testmachine::BinDir() + L"\\ZEPClient.dll"; }

void RegisterTelemetryClient(const std::wstring& dllPath)
{
    const std::wstring server = std::wstring(kTelemetryClassKey) + L"\\InprocServer32";
    testmachine::SetString(server, L"", dllPath);
    testmachine::SetString(server, L"ThreadingModel", L"Both");
}

void UnregisterTelemetryClient() { testmachine::DeleteTree(kTelemetryClassKey); }

void SetTelemetryKnob(const std::wstring& name, DWORD value)
{
    testmachine::SetDword(standin::kTelemetryKey, name, value);
}

void ClearTelemetryKnobs() { testmachine::DeleteTree(standin::kTelemetryKey); }

std::wstring TelemetryJournalPath() { return standin::JournalPath(standin::kTelemetryKey, standin::kTelemetryJournal); }

std::vector<std::wstring> TelemetryRequests()
{
    const std::vector<BYTE> bytes = testmachine::ReadBytes(TelemetryJournalPath());
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    std::vector<std::wstring> requests;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        requests.push_back(text.substr(start, end - start));
    }
    return requests;
}

void ClearTelemetryJournal() { ::DeleteFileW(TelemetryJournalPath().c_str()); }

void SetKrsIntegrateKnob(const std::wstring& name, DWORD value)
{
    testmachine::SetDword(standin::kKrsIntegrateKey, name, value);
}

void ClearKrsIntegrateKnobs() { testmachine::DeleteTree(standin::kKrsIntegrateKey); }

std::wstring KrsIntegrateJournalPath()
{
    return standin::JournalPath(standin::kKrsIntegrateKey, standin::kKrsIntegrateJournal);
}

std::vector<std::string> KrsIntegrateCalls()
{
    const std::vector<BYTE> bytes = testmachine::ReadBytes(KrsIntegrateJournalPath());
    return SplitLines(std::string(bytes.begin(), bytes.end()));
}

void ClearKrsIntegrateJournal() { ::DeleteFileW(KrsIntegrateJournalPath().c_str()); }

}  // namespace testbed
