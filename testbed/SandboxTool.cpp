// qelsandbox: sets up and reports on the demo's sandbox machine.
//   qelsandbox provision --from <folder>   the default installation (see Sandbox.h)
//   qelsandbox suite --completed N --attempt-limit N
//                                           what the stand-in suite answers next
//   qelsandbox report                       what happened since the last report:
//                                           new log lines, telemetry requests,
//                                           calls into the suite's library, the
//                                           installer's starts (once it has ended)
//   qelsandbox framework                    what of the framework is on the machine
#include "common/Platform.h"

#include "config/PCReg.h"
#include "testbed/Sandbox.h"
#include "testbed/StandinSupport.h"

#include <rapidjson/document.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kStateKey[] = L"SOFTWARE\\Tarsen\\Testbed\\Sandbox";

void Out(const std::wstring& text)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

std::vector<BYTE> ReadFileBytes(const std::wstring& path)
{
    std::vector<BYTE> bytes;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty()) ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    ::CloseHandle(file);
    return bytes;
}

std::vector<std::wstring> Lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The lines that were not shown yet; the count is kept between reports.
std::vector<std::wstring> Unseen(const std::vector<std::wstring>& all, const wchar_t* counter)
{
    CPCReg reg;
    DWORD shown = 0;
    reg.Read(kStateKey, counter, shown);
    if (shown > all.size()) shown = 0;  // a journal that started over
    reg.Write(kStateKey, counter, static_cast<DWORD>(all.size()));
    return std::vector<std::wstring>(all.begin() + shown, all.end());
}

std::vector<std::wstring> LogLines()
{
    std::vector<std::wstring> all;
    for (int index = 0; index < 100; ++index) {
        wchar_t name[48];
        swprintf(name, 48, L"\\QELCommonBuild%03d.log", index);
        const std::vector<BYTE> bytes = ReadFileBytes(sandbox::LogFolder() + name);
        if (bytes.size() < 2) continue;
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()) + 1, bytes.size() / 2 - 1);
        for (auto& line : Lines(text)) all.push_back(line);
    }
    return all;
}

std::wstring Member(const rapidjson::GenericValue<rapidjson::UTF16<>>& object, const wchar_t* name)
{
    if (!object.IsObject()) return std::wstring();
    auto it = object.FindMember(name);
    return it != object.MemberEnd() && it->value.IsString() ? it->value.GetString() : std::wstring();
}

void ReportTelemetry()
{
    const std::vector<BYTE> bytes =
        ReadFileBytes(standin::JournalPath(standin::kTelemetryKey, standin::kTelemetryJournal));
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    const auto requests = Unseen(Lines(text), L"TelemetryShown");
    Out(L"\n  Telemetry requests received by the telemetry client (" + std::to_wstring(requests.size()) + L"):\n");
    for (const auto& request : requests) {
        rapidjson::GenericDocument<rapidjson::UTF16<>> document;
        document.Parse(request.c_str());
        if (document.HasParseError() || !document.IsObject() || !document.HasMember(L"event")) {
            Out(L"    (not JSON) " + request + L"\n");
            continue;
        }
        const auto& event = document[L"event"];
        const auto& data = event.HasMember(L"event_data") ? event[L"event_data"] : event;
        std::wstring line = L"    " + Member(data, L"EventName") + L" / " + Member(data, L"EventState");
        const std::wstring detail = Member(data, L"EventData");
        if (!detail.empty()) line += L" (" + detail + L")";
        line += L"   app " + Member(event, L"ApplicationID") + L", BIOS serial \"" +
                Member(data, L"BiosSerialNumber") + L"\", " + std::to_wstring(request.size()) + L" characters";
        Out(line + L"\n");
    }
    if (!requests.empty()) Out(L"    the last request in full:\n    " + requests.back() + L"\n");
}

void ReportSuiteCalls()
{
    const std::vector<BYTE> bytes =
        ReadFileBytes(standin::JournalPath(standin::kKrsIntegrateKey, standin::kKrsIntegrateJournal));
    std::wstring text;
    for (BYTE b : bytes) text.push_back(static_cast<wchar_t>(b));
    const auto calls = Unseen(Lines(text), L"SuiteCallsShown");
    Out(L"\n  Calls into the suite's integration library (" + std::to_wstring(calls.size()) + L"):\n");
    for (const auto& call : calls) Out(L"    " + call + L"\n");
}

// The job runner does not wait for the installer it starts: the reports do.
void WaitForInstaller() { standin::WaitForProcesses(L"tsinst.exe", 60000); }

// The common installer's starts, each with the command line it was given.
void ReportInstaller()
{
    const std::wstring key = std::wstring(standin::kTestbedKey) + L"tsinst";
    const std::vector<BYTE> bytes = ReadFileBytes(
        standin::JournalPath(key.c_str(), (std::wstring(standin::kJournalFolder) + L"tsinst.journal").c_str()));
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    const auto starts = Unseen(Lines(text), L"InstallerShown");
    if (starts.empty()) return;
    Out(L"\n  Starts of the common installer tsinst.exe (" + std::to_wstring(starts.size()) + L"):\n");
    for (const auto& start : starts) Out(L"    " + start.substr(start.find(L"command=")) + L"\n");
}

// Each piece of the framework and whether it is still there.
int ReportFramework()
{
    WaitForInstaller();
    const sandbox::Options installed;
    const auto folder = [](const std::wstring& path) {
        std::wstring names;
        WIN32_FIND_DATAW found;
        HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return std::wstring(L"gone");
        do {
            if (found.cFileName[0] != L'.') names += (names.empty() ? L"" : L", ") + std::wstring(found.cFileName);
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
        return names.empty() ? std::wstring(L"empty") : names;
    };
    StringList keys;
    const bool settings = CPCReg().EnumRegKeys(L"SOFTWARE\\Tarsen\\QEL", keys) == ERROR_SUCCESS;
    std::wstring keyNames;
    for (const auto& name : keys) keyNames += (keyNames.empty() ? L"" : L", ") + name;
    const std::wstring store = sandbox::DataStoreFolder() + L"\\qeldata.dat";
    Out(L"  The framework on this machine:\n    program folder " + installed.installDir + L": " +
        folder(installed.installDir) + L"\n    settings and scheduler records HKLM\\SOFTWARE\\Tarsen\\QEL: " +
        (settings ? L"keys " + keyNames : std::wstring(L"gone")) + L"\n    data store " + store + L": " +
        (::GetFileAttributesW(store.c_str()) == INVALID_FILE_ATTRIBUTES ? L"gone" : L"present") +
        L"\n    the installer's folder " + installed.installerDir + L": " + folder(installed.installerDir) + L"\n");
    return 0;
}

int Report()
{
    WaitForInstaller();
    const auto lines = Unseen(LogLines(), L"LogLinesShown");
    Out(L"\n  Log of QELCommonBuild.exe (" + std::to_wstring(lines.size()) + L" new lines, " + sandbox::LogFolder() +
        L"):\n");
    for (const auto& line : lines) Out(L"    " + line + L"\n");
    ReportTelemetry();
    ReportSuiteCalls();
    ReportInstaller();
    return 0;
}

int Usage()
{
    Out(L"usage: qelsandbox provision --from FOLDER | suite --completed N --attempt-limit N | report | framework\n");
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    if (command == L"provision" && argc == 4 && std::wstring(argv[2]) == L"--from") {
        sandbox::Options options;
        options.programsFrom = argv[3];
        const std::wstring error = sandbox::ProvisionDefaultInstallation(options);
        if (!error.empty()) {
            Out(L"qelsandbox: " + error + L"\n");
            return 1;
        }
        Out(L"  installed in " + options.installDir + L", affiliate " + options.affid +
            L", first run completed 2 hours ago, task AutoDownload registered\n");
        return 0;
    }
    if (command == L"suite" && argc == 6 && std::wstring(argv[2]) == L"--completed" &&
        std::wstring(argv[4]) == L"--attempt-limit") {
        sandbox::SetSuiteAnswers(static_cast<DWORD>(_wtoi(argv[3])), static_cast<DWORD>(_wtoi(argv[5])));
        return 0;
    }
    if (command == L"report" && argc == 2) return Report();
    if (command == L"framework" && argc == 2) return ReportFramework();
    return Usage();
}
