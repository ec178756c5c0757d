// qelsandbox: sets up and reports on the demo's sandbox machine.
//   qelsandbox provision --from <folder>   the default installation (see Sandbox.h):
//                                           a freshly pre-installed machine
//   qelsandbox suite --completed N --attempt-limit N
//                                           what the stand-in suite answers next
//   qelsandbox updater --exit-code N --installs-suite 0|1 --signal-after MS|never
//                                           how the stand-in updater's next runs end, and
//                                           when the suite's post-install signal follows
//   qelsandbox foreign-product N            what ForeignScan.dll answers (1: found)
//   qelsandbox setting NAME VALUE           a setting in the affiliate's partner key
//   qelsandbox report                       what happened since the last report:
//                                           the log's decisions, events sent,
//                                           companions started (once the installer,
//                                           which nobody waits for, has ended), library calls
//   qelsandbox framework                    what of the framework is on the machine
#include "common/Platform.h"

#include "config/PCReg.h"
#include "testbed/Observe.h"
#include "testbed/Sandbox.h"
#include "testbed/StandinSupport.h"
#include "tools/ToolConsole.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kStateKey[] = L"SOFTWARE\\Tarsen\\Testbed\\Sandbox";

void Out(const std::wstring& text) { WriteText(STD_OUTPUT_HANDLE, text); }

// The lines that were not shown yet; the count is kept between reports.
template <typename Line>
std::vector<Line> Unseen(const std::vector<Line>& all, const wchar_t* counter)
{
    CPCReg reg;
    DWORD shown = 0;
    reg.Read(kStateKey, counter, shown);
    if (shown > all.size()) shown = 0;  // a journal that started over
    reg.Write(kStateKey, counter, static_cast<DWORD>(all.size()));
    return std::vector<Line>(all.begin() + shown, all.end());
}

std::wstring Member(const rapidjson::GenericValue<rapidjson::UTF16<>>& object, const wchar_t* name)
{
    if (!object.IsObject()) return std::wstring();
    auto it = object.FindMember(name);
    return it != object.MemberEnd() && it->value.IsString() ? it->value.GetString() : std::wstring();
}

// The log's decisions: every error, and the lines of the jobs themselves. The
// registry look-ups of settings that fall back to defaults, the WMI query, the
// scheduler's and the launcher's own steps stay in the file.
void ReportLog()
{
    const auto lines = Unseen(observe::ReadProgramLog(sandbox::LogFolder(), 0x08), L"LogLinesShown");
    const wchar_t* details[] = {L"PCReg",       L"QELConfig",          L"WmiData",       L"WmiWrapper",
                                L"QelJsonFormat", L"QelSchedulerTaskMgr", L"QelSchedulerConfig", L"TaskExe",
                                L"CreateProcessHelper", L"QELInstru", L"ZEPInstru"};
    std::vector<std::wstring> shown;
    for (const auto& line : lines) {
        const std::wstring file = line.source.substr(0, line.source.find(L'.'));
        bool detail = line.level != L"Error" && line.level != L"Critical";
        detail = detail && std::find(std::begin(details), std::end(details), file) != std::end(details);
        if (!detail) {
            shown.push_back(L"    " + line.level + std::wstring(12 - std::min<size_t>(line.level.size(), 11), L' ') +
                            line.text);
        }
    }
    Out(L"\n  Log (" + std::to_wstring(shown.size()) + L" of " + std::to_wstring(lines.size()) +
        L" new lines; the others: settings look-ups, WMI, the data store's, the scheduler's and the launcher's "
        L"steps):\n");
    for (const auto& line : shown) Out(line + L"\n");
}

void ReportTelemetry()
{
    const auto requests = Unseen(observe::JournalLines<wchar_t>(
                                     standin::JournalPath(standin::kTelemetryKey, standin::kTelemetryJournal)),
                                 L"TelemetryShown");
    std::wstring events;
    for (const auto& request : requests) {
        rapidjson::GenericDocument<rapidjson::UTF16<>> document;
        document.Parse(request.c_str());
        const bool json = !document.HasParseError() && document.IsObject() && document.HasMember(L"event");
        const auto& data = json && document[L"event"].HasMember(L"event_data") ? document[L"event"][L"event_data"]
                                                                                 : document;
        std::wstring event = Member(data, L"EventName") + L" " + Member(data, L"EventState");
        const std::wstring detail = Member(data, L"EventData");
        if (!detail.empty()) event += L" (" + detail + L")";
        events += (events.empty() ? L"" : L", ") + (json ? event : L"(not JSON)");
    }
    Out(requests.empty() ? std::wstring(L"\n  Events sent: none\n")
                         : L"\n  Events sent (" + std::to_wstring(requests.size()) + L"): " + events + L"\n");
}

void ReportCompanions()
{
    std::vector<std::wstring> started;
    for (const wchar_t* role : {L"QELUpdater", L"QELHelper", L"tsinst"}) {
        const std::wstring counter = std::wstring(role) + L"Shown";
        for (auto& run : Unseen(observe::CompanionRuns(role), counter.c_str())) {
            started.push_back(run[L"command"] + L"   (exits with " + run[L"exit"] + L")");
        }
    }
    Out(started.empty() ? L"\n  Companions started: none\n" : L"\n  Companions started:\n");
    for (const auto& line : started) Out(L"    " + line + L"\n");
    std::wstring signal;
    for (auto& run : Unseen(observe::CompanionRuns(L"KrsPostInstall"), L"SignalShown")) {
        signal += (signal.empty() ? L"" : L", ") + run[L"signal"];
    }
    if (!signal.empty()) Out(L"  The suite's post-install signal: " + signal + L"\n");
}

// A library journal's new lines on one line.
void ReportLibrary(const wchar_t* title, const std::wstring& journal, const wchar_t* counter)
{
    std::wstring calls;
    for (const auto& call : Unseen(observe::JournalLines<char>(journal), counter)) {
        calls += (calls.empty() ? L"" : L", ") + std::wstring(call.begin(), call.end());
    }
    Out(std::wstring(L"  ") + title + (calls.empty() ? L"none" : calls) + L"\n");
}

// The job runner does not wait for the installer it starts: the reports do.
void WaitForInstaller() { standin::WaitForProcesses(L"tsinst.exe", 60000); }

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
    ReportLog();
    ReportTelemetry();
    ReportCompanions();
    Out(L"\n");
    ReportLibrary(L"Calls into the suite's library: ",
                  standin::JournalPath(standin::kKrsIntegrateKey, standin::kKrsIntegrateJournal), L"SuiteCallsShown");
    ReportLibrary(L"Calls into ForeignScan.dll: ",
                  standin::JournalPath(standin::kForeignScanKey, standin::kForeignScanJournal), L"ScanCallsShown");
    return 0;
}

int Usage()
{
    Out(L"usage: qelsandbox provision --from FOLDER | suite --completed N --attempt-limit N |\n"
        L"       updater --exit-code N --installs-suite 0|1 --signal-after MS|never | foreign-product N |\n"
        L"       setting NAME VALUE |\n"
        L"       report | framework\n");
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
        options.logOptions = 0x08;  // the source file tells the report's decisions from the details
        const std::wstring error = sandbox::ProvisionDefaultInstallation(options);
        if (!error.empty()) {
            Out(L"qelsandbox: " + error + L"\n");
            return 1;
        }
        Out(L"  installed in " + options.installDir + L", affiliate " + options.affid +
            L", first run completed 2 hours ago; the suite is not installed; task KRSDownload registered\n");
        return 0;
    }
    if (command == L"suite" && argc == 6 && std::wstring(argv[2]) == L"--completed" &&
        std::wstring(argv[4]) == L"--attempt-limit") {
        sandbox::SetSuiteAnswers(static_cast<DWORD>(_wtoi(argv[3])), static_cast<DWORD>(_wtoi(argv[5])));
        return 0;
    }
    CPCReg reg;
    if (command == L"updater" && argc == 8 && std::wstring(argv[2]) == L"--exit-code" &&
        std::wstring(argv[4]) == L"--installs-suite" && std::wstring(argv[6]) == L"--signal-after") {
        const std::wstring key = std::wstring(standin::kTestbedKey) + L"QELUpdater";
        reg.Write(key, L"ExitCode", static_cast<DWORD>(_wtoi(argv[3])));
        reg.Write(key, L"InstallsSuite", static_cast<DWORD>(_wtoi(argv[5])));
        if (std::wstring(argv[7]) == L"never") {
            reg.DeleteValue(key, L"SignalAfter");
        } else {
            reg.Write(key, L"SignalAfter", static_cast<DWORD>(_wtoi(argv[7])));
        }
        return 0;
    }
    if (command == L"foreign-product" && argc == 3) {
        return reg.Write(standin::kForeignScanKey, L"Answer", static_cast<DWORD>(_wtoi(argv[2]))) == 0 ? 0 : 1;
    }
    if (command == L"setting" && argc == 4) {
        sandbox::SetSetting(argv[2], argv[3]);
        return 0;
    }
    if (command == L"report" && argc == 2) return Report();
    if (command == L"framework" && argc == 2) return ReportFramework();
    return Usage();
}
