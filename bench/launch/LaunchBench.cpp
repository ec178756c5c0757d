// A companion swapped for a foreign program while it is being launched,
// counted: a swapping process runs beside N launches of one path, and each
// launch ends as the signed companion started, a foreign (unsigned) program
// started, refused, or not started at all. Launchers: the check by path
// followed by a start by path (how companions were launched), and CTaskExe
// (the file held from the check to the start, the image compared before the
// process runs). Swaps: the file's name replaced by a link to the foreign
// file, and the companion's folder renamed with a folder holding the foreign
// file renamed into its place. Counts only; nothing here is a test.
//   bench_launch [N=200]
//   bench_launch swapper file|folder ROOT STOP_EVENT   (swaps until stopped)
// Run under the name swapme.exe, this program is the foreign program: it
// counts its start and ends.
#include "common/Platform.h"

#include "bench/BenchSupport.h"
#include "common/UniqueHandle.h"
#include "process/CreateProcessHelper.h"
#include "process/TaskExe.h"
#include "trust/FileTrust.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::wstring kRoot = L"C:\\benchlaunch";
constexpr wchar_t kName[] = L"swapme.exe";

std::wstring Own()
{
    wchar_t path[MAX_PATH] = L"";
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

void Append(const std::wstring& path, const char* text)
{
    ScopedHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ::WriteFile(file.Get(), text, 1, &written, nullptr);
}

// Bytes of a file; 0 when it is not there.
size_t FileBytes(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
}

// The file mode puts a fresh link to either program in place by a replacing
// rename; the folder mode renames whole folders: app <-> app-signed / app-foreign.
int Swapper(const std::wstring& mode, const std::wstring& root, const std::wstring& stopEvent)
{
    ScopedHandle stop(::OpenEventW(SYNCHRONIZE, FALSE, stopEvent.c_str()));
    const std::wstring app = root + L"\\app", target = app + L"\\" + kName, link = root + L"\\link.exe";
    const std::wstring sources[] = {root + L"\\signed.exe", root + L"\\foreign.exe"};
    for (int i = 0; stop && ::WaitForSingleObject(stop.Get(), 0) == WAIT_TIMEOUT; ++i) {
        const bool foreign = i % 2 == 0;
        if (mode == L"file") {
            ::DeleteFileW(link.c_str());
            ::CreateHardLinkW(link.c_str(), sources[foreign].c_str(), nullptr);
            ::MoveFileExW(link.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
        } else {
            const std::wstring away = app + (foreign ? L"-signed" : L"-foreign");
            const std::wstring in = app + (foreign ? L"-foreign" : L"-signed");
            if (::MoveFileW(app.c_str(), away.c_str())) ::MoveFileW(in.c_str(), app.c_str());
        }
        // The signed companion stays in place most of the time, the foreign
        // program only for a moment: most checks see the signed file.
        ::Sleep(foreign ? 0 : 2);
    }
    return 0;
}

// Places the two programs and the folders for a round; the app folder starts with the signed companion.
void Prepare(const std::wstring& root)
{
    for (const wchar_t* folder : {L"", L"\\app", L"\\app-foreign"}) ::CreateDirectoryW((root + folder).c_str(), nullptr);
    ::CopyFileW((bench::BinDir() + L"\\companion.exe").c_str(), (root + L"\\signed.exe").c_str(), FALSE);
    ::CopyFileW(Own().c_str(), (root + L"\\foreign.exe").c_str(), FALSE);
    ::CreateHardLinkW((root + L"\\app\\" + kName).c_str(), (root + L"\\signed.exe").c_str(), nullptr);
    ::CreateHardLinkW((root + L"\\app-foreign\\" + kName).c_str(), (root + L"\\foreign.exe").c_str(), nullptr);
}

struct Counts {
    int signedRuns = 0, foreignRuns = 0, refused = 0, notStarted = 0;
};

// The check by path, then the start by path: what a launcher without the held file does.
DWORD CheckThenStart(const std::wstring& path, ScopedHandle& process)
{
    if (VerifyFileTrust(path.c_str()) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
    DWORD error = ERROR_SUCCESS;
    process.Reset(CCPHelper().LaunchProcess(path.c_str(), L"/x", error, 0));
    return error;
}

Counts Round(bool held, const wchar_t* swap, int launches, int round)
{
    const std::wstring root = kRoot + std::to_wstring(round);
    Prepare(root);
    const std::wstring signedJournal = root + L"\\signed.journal";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarsen\\Testbed\\swapme", L"JournalPath", REG_SZ,
                      signedJournal.c_str(), static_cast<DWORD>((signedJournal.size() + 1) * sizeof(wchar_t)));
    const std::wstring stopName = L"QelBench-launch-stop-" + std::to_wstring(round);
    ScopedHandle stop(::CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
    std::wstring commandLine = L"\"" + Own() + L"\" swapper " + swap + L" " + root + L" " + stopName;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return Counts{};
    }
    ScopedHandle swapper(info.hProcess), swapperThread(info.hThread);

    Counts counts;
    const std::wstring path = root + L"\\app\\" + kName;
    for (int i = 0; i < launches; ++i) {
        ScopedHandle checked;
        CTaskExe task(path, L"/x");
        const DWORD rc = held ? task.Run() : CheckThenStart(path, checked);
        const HANDLE process = held ? task.GetProcessHandle() : checked.Get();
        if (process) ::WaitForSingleObject(process, 60000);
        if (rc == ERROR_INVALID_PARAMETER) ++counts.refused;
        else if (!process) ++counts.notStarted;
    }
    ::SetEvent(stop.Get());
    ::WaitForSingleObject(swapper.Get(), 60000);
    // The companion journals one UTF-16 line a start; the foreign program one byte.
    ScopedHandle journal(::CreateFileW(signedJournal.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
    std::vector<wchar_t> text(FileBytes(signedJournal) / sizeof(wchar_t));
    DWORD read = 0;
    if (journal && !text.empty()) ::ReadFile(journal.Get(), text.data(), static_cast<DWORD>(text.size() * 2), &read, nullptr);
    for (wchar_t c : text) counts.signedRuns += c == L'\n';
    counts.foreignRuns = static_cast<int>(FileBytes(root + L"\\foreign.count"));
    return counts;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring own = Own();
    if (own.size() >= 10 && ::lstrcmpiW(own.c_str() + own.size() - 10, kName) == 0) {
        // The foreign program: counts its start beside the folder it was started from.
        const std::wstring folder = own.substr(0, own.find_last_of(L'\\'));
        Append(folder.substr(0, folder.find_last_of(L'\\')) + L"\\foreign.count", "x");
        return 0;
    }
    if (argc == 5 && std::wstring(argv[1]) == L"swapper") return Swapper(argv[2], argv[3], argv[4]);

    const int launches = argc > 1 ? _wtoi(argv[1]) : 200;
    if (launches <= 0) {
        fprintf(stderr, "usage: bench_launch [N]\n");
        return 1;
    }
    // The stand-in trust-validation library vouches for nothing and keeps no journal.
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarsen\\Testbed\\TsGuard", L"JournalPath", REG_SZ, L"NUL", 8);

    printf("%d launches of one path while another process swaps a foreign (unsigned) program in and out\n", launches);
    printf("%-40s %-24s %8s %8s %8s %8s\n", "launcher", "swap", "signed", "FOREIGN", "refused", "failed");
    const struct {
        const char* name;
        bool held;
    } kLaunchers[] = {{"check by path, then start by path", false}, {"CTaskExe (held, suspended, compared)", true}};
    const struct {
        const char* name;
        const wchar_t* mode;
    } kSwaps[] = {{"file name re-linked", L"file"}, {"folder renamed", L"folder"}};
    int round = 0;
    int foreignByTaskExe = 0;
    for (const auto& swap : kSwaps) {
        for (const auto& launcher : kLaunchers) {
            const Counts c = Round(launcher.held, swap.mode, launches, ++round);
            printf("%-40s %-24s %8d %8d %8d %8d\n", launcher.name, swap.name, c.signedRuns, c.foreignRuns, c.refused,
                   c.notStarted);
            fflush(stdout);
            if (launcher.held) foreignByTaskExe += c.foreignRuns;
        }
    }
    printf("target no foreign program started by CTaskExe: %s\n", foreignByTaskExe == 0 ? "met" : "NOT met");
    return 0;
}
