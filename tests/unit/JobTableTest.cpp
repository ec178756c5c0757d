// Every decision of the three jobs, run in this process on a machine held in
// memory. A row is a situation (settings, the data store, the suite's and the
// scanner's answers, what the companions return, the post-install event) and
// what the run leaves, as one line:
//   result | events | tasks | status values | companions started | suite calls
// (suite calls: rvn, oobe, jeula for the integration's three, run, done? and
// limit? for the auto-download's). The wiring to the real machine is the
// scenarios' part.
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "datastore/QelPersistenceData.h"
#include "jobs/BUninstallTask.h"
#include "jobs/JobServices.h"
#include "jobs/QELAutoDownload.h"
#include "jobs/QELKRSDownload.h"
#include "scheduler/QelSchedulerTaskMgr.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"
#include "tests/support/OwnerSeam.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>

namespace {

using Texts = std::vector<std::wstring>;
const std::wstring kCore = L"C:\\QEL";  // "CoreInstallDir", where QELHelper.exe lies
const std::wstring kInstaller = L"C:\\Program Files\\Tarsen\\TsInst\\tsinst.exe";
constexpr DWORD kEnded = 0xE0D;  // the result of a run that ended the process

std::wstring Join(const Texts& texts)
{
    std::wstring joined;
    for (const auto& t : texts) joined += (joined.empty() ? L"" : L" ") + t;
    return joined.empty() ? L"-" : joined;
}

DWORD Read(const StringMap& values, const std::wstring& name, std::wstring& out)
{
    const auto it = values.find(name);
    return it == values.end() ? ERROR_FILE_NOT_FOUND : (out = it->second, ERROR_SUCCESS);
}

// Settings by value name ("CoreInstallDir", "GCB\InstallPath" and "Install Dir" too, which live in other keys).
struct TableConfig : CQELRegConfig {
    explicit TableConfig(const StringMap& values) : values(values) {}
    using Name = const std::wstring&;
    DWORD GetPartnerSetting(Name n, std::wstring& out, Name) override { return Read(values, n, out); }
    DWORD GetRootSetting(Name n, std::wstring& out, Name) override { return Read(values, n, out); }
    DWORD GetAppsSetting(Name app, Name n, std::wstring& out, Name) override
    {
        return Read(values, app + L"\\" + n, out);
    }
    StringMap values;
};

// The data store. While another program holds its file, reads find nothing and writes fail.
struct TableStore : CQelPersistenceData {
    StringMap status, oobe;
    std::vector<std::pair<std::wstring, std::wstring>> packages{{L"KRS-FULL", L"1"}};  // and their "AutoDownLoadFlag"
    bool held = false;

    using Name = const std::wstring&;
    DWORD GetEntParameter(Name k, std::wstring& v) override { return held ? ERROR_NOT_FOUND : Read(status, k, v); }
    DWORD SetEntParameter(Name k, Name v) override { return held ? ERROR_SHARING_VIOLATION : (status[k] = v, 0); }
    DWORD GetOobeParameter(Name k, std::wstring& v) override { return held ? ERROR_NOT_FOUND : Read(oobe, k, v); }
    DWORD GetPkgIDs(StringList& ids) override
    {
        for (const auto& p : packages) ids.push_back(p.first);
        return held ? (ids.clear(), ERROR_NOT_FOUND) : 0;
    }
    DWORD GetPkgParameter(Name id, Name, std::wstring& flag) override
    {
        for (const auto& p : packages) {
            if (p.first == id) return flag = p.second, 0;
        }
        return ERROR_NOT_FOUND;
    }
};

struct ProcessEnded {};

// The machine: settings, store, scheduler, companions, the suite's libraries, telemetry, waits.
class Machine : public IJobServices {
public:
    Machine()
    {
        testmachine::CreateFolder(kCore);
        testmachine::WriteBytes(kCore + L"\\QELHelper.exe", "", 0);
        store.oobe[L"completedtime"] = std::to_wstring(std::time(nullptr) - 7200);
    }

    // The situation.
    StringMap settings{{L"DownloadQelKrs", L"1"},    {L"DownloadQelKrsFrequency", L"10800"},
                       {L"jeula", L"1"},             {L"UninstallWhenKRSUninstalled", L"1"},
                       {L"CoreInstallDir", kCore},   {L"GCB\\InstallPath", L"C:\\Program Files\\Tarsen\\QEL"},
                       {L"Install Dir", kInstaller.substr(0, kInstaller.rfind(L'\\'))}};
    TableStore store;
    std::map<std::wstring, DWORD> tasks;  // registered tasks and their intervals
    bool suite = false, updaterInstallsSuite = false, library = true;
    enum class Scanner { Missing, NoExport, Answers } scanner = Scanner::Answers;
    BYTE scanAnswer = 0;
    DWORD done = 0, limit = 0;            // the suite's answers
    std::map<std::wstring, DWORD> exits;  // a companion's result by file name; 0 when not listed
    JobWaits waits{7200000, 0, 1};
    AnsweringOwners<> owners;
    ScopedHandle planted;  // an object under the post-install event's name

    // What the run leaves besides tasks and the store.
    std::wstring eventName;
    Texts events, started, commands, suiteCalls;

    CQELSettings Settings() override { return CQELSettings(std::make_shared<TableConfig>(settings)); }
    DWORD GetInstallerDir(std::wstring& out) override { return Read(settings, L"Install Dir", out); }
    bool IsSuiteInstalled() override { return suite; }
    bool IsSuiteInstalledQuietly() override { return suite; }
    IPersistenceCommonBuild& Status() override { return store; }
    IPersistenceOobeEula& Oobe() override { return store; }
    DWORD AddTask(const SchedulerTaskRecord& r) override
    {
        return scheduler::IsValidTaskRecord(r) ? (tasks[r.Name] = r.IntervalInSec, 0) : ERROR_INVALID_PARAMETER;
    }
    DWORD DeleteTask(const std::wstring& name) override { return tasks.erase(name) ? 0 : ERROR_FILE_NOT_FOUND; }
    DWORD RunCompanion(const std::wstring& path, const std::wstring& parameters, std::optional<DWORD> wait) override
    {
        const std::wstring file = path.substr(path.rfind(L'\\') + 1);
        started.push_back(file);
        commands.push_back(path + L" " + parameters + L" " + (wait ? std::to_wstring(*wait) : L"-"));
        const DWORD result = exits.count(file) ? exits[file] : 0;
        suite = suite || (file == L"QELUpdater.exe" && result == 0 && updaterInstallsSuite);
        return result;
    }
    std::unique_ptr<CQELKrsIntegrate> IntegrationLibrary() override { return std::make_unique<Library>(*this); }
    std::unique_ptr<CForeignScan> ForeignScanner() override { return std::make_unique<Scan>(*this); }
    void SendEvent(const std::wstring& name, const wchar_t* state, const wchar_t* data) override
    {
        EXPECT_TRUE(eventName.empty() || eventName == name) << "one job, one event name";
        eventName = name;
        events.push_back(state + (*data ? L":" + std::wstring(data) : L""));
    }
    const JobWaits& Waits() override { return waits; }
    CObjectOwners& Owners() override { return owners; }
    [[noreturn]] void EndProcess() override { throw ProcessEnded{}; }

    std::wstring Digest(DWORD result) const
    {
        Texts registered, values;
        for (const auto& [name, interval] : tasks) registered.push_back(name + L":" + std::to_wstring(interval));
        for (const auto& [key, value] : store.status) values.push_back(key + L"=" + value);
        return (result == kEnded ? L"end" : std::to_wstring(result)) + L" | " + Join(events) + L" | " +
               Join(registered) + L" | " + Join(values) + L" | " + Join(started) + L" | " + Join(suiteCalls);
    }

private:
    // The suite's integration library; when it cannot be loaded, each call returns 6, the output untouched.
    struct Library : CQELKrsIntegrate {
        explicit Library(Machine& m) : CQELKrsIntegrate(L""), m(m) {}
        bool LoadDLL() override { return m.library; }
        DWORD AddQelIntoRvnQueryparam() override { return call(L"rvn"); }
        DWORD UpdateOobeDoneState() override { return call(L"oobe"); }
        DWORD UpdateJEulaAcceptance() override { return call(L"jeula"); }
        DWORD RunKrsAutoDownload() override { return call(L"run"); }
        DWORD IsKrsAutoDownloadCompleted(DWORD* out) override { return call(L"done?", out, m.done); }
        DWORD IsAutodownloadMaxAttemptOver(DWORD* out) override { return call(L"limit?", out, m.limit); }
        DWORD call(const wchar_t* name, DWORD* out = nullptr, DWORD answer = 0)
        {
            if (!m.library) return ERROR_INVALID_HANDLE;
            m.suiteCalls.push_back(name);
            if (out) *out = answer;
            return ERROR_SUCCESS;
        }
        Machine& m;
    };
    struct Scan : CForeignScan {
        explicit Scan(Machine& m) : CForeignScan(L""), m(m) {}
        bool Load() override { return m.scanner != Scanner::Missing; }
        bool Ask(BYTE& answer, DWORD& error) override
        {
            if (m.scanner == Scanner::NoExport) return error = ERROR_PROC_NOT_FOUND, false;
            return answer = m.scanAnswer, true;
        }
        Machine& m;
    };
};

struct Row {
    const wchar_t* what;
    std::function<void(Machine&)> arrange;
    std::wstring digest;
    std::wstring line;  // a line the row is about, and its level (0: not logged)
    DWORD level;
};

// Runs the job of each row on a machine `prepare`d, then arranged by the row.
template <typename Job>
void RunTable(const wchar_t* eventName, const std::vector<Row>& rows, const std::function<void(Machine&)>& prepare)
{
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.what)));
        const auto machine = std::make_shared<Machine>();
        prepare(*machine);
        row.arrange(*machine);
        TestLog().Clear();
        DWORD result = kEnded;
        try {
            result = Job(machine).ProcessJob();
        } catch (const ProcessEnded&) {
            EXPECT_EQ(TestLog().Texts().back(), L"QelUninstaller Launch success, Exiting the process.")
                << "nothing runs after the installer started";
        }
        EXPECT_EQ(machine->Digest(result), row.digest);
        EXPECT_TRUE(machine->events.empty() || machine->eventName == eventName) << machine->eventName;
        EXPECT_EQ(TestLog().Find(row.line).level, row.level) << testing::PrintToString(row.line);
    }
}

void Set(Machine& m, const std::wstring& name, const std::wstring& value) { m.settings[name] = value; }
void Plant(Machine& m, bool event, ObjectOwner owner = ObjectOwner::Other)
{
    const wchar_t* name = CQELKRSDownload::kPostInstallEventName;
    m.planted.Reset(event ? ::CreateEventW(nullptr, TRUE, TRUE, name) : ::CreateMutexW(nullptr, FALSE, name));
    m.owners.answer = owner;
}

TEST(JobTableTest, SuiteDownload)
{
    const auto found = [](Machine& m) { m.scanAnswer = 1; };
    const auto installed = [](Machine& m) { m.suite = true; };
    const auto count = [](const wchar_t* n) { return [=](Machine& m) { m.store.status[L"krsdownloadcount"] = n; }; };
    const std::wstring stopped = L" Aborted:Pre Krsdownload check failed. | ";
    const std::wstring limit = L"0 | Failure:MaxKrsDownloadAttemptReached" + stopped + L"- | ";
    const std::wstring vendor = L"0 | Aborted:3rdParty Product Detected" + stopped + L"KRSDownload:1800";
    const std::wstring retry = L"0 | Started Complete | KRSDownload:10800 | krsdownloadcount=1 | QELUpdater.exe | -";
    const std::wstring noRetry = L"0 | Started Complete | KRSDownload:1800 | krsdownloadcount=1 | QELUpdater.exe | -";
    const std::wstring success = L"0 | Started Complete Success | AutoDownload:14400 | KRSDownloadComplete=1 "
                                 L"krsdownloadcount=1 | QELUpdater.exe QELHelper.exe | rvn oobe jeula";
    // The integration with an installed suite (which is told of the framework's state: rvn oobe jeula).
    const std::wstring tied = L"0 | Success" + stopped + L"AutoDownload:14400 | KRSDownloadComplete=1 | ";
    const std::wstring helped = L"QELHelper.exe | rvn oobe jeula";
    const std::wstring untied = L"0 | Success" + stopped + L"- | KRSDownloadComplete=1 | " + helped;
    RunTable<CQELKRSDownload>(L"KrsDownload", {
        // The pre-check, in its order: the suite, another vendor's product, the attempt limit.
        {L"suite installed, before any other check", [&](Machine& m) { installed(m), found(m); }, tied + helped,
         L"KRS is already installed in this machine. So no need to install again.", 1},
        {L"another vendor's product, before the limit", [&](Machine& m) { found(m), count(L"20")(m); },
         vendor + L" | krsdownloadcount=20 | - | -",
         L"CQELKRSDownload::actionOn3rdPartyDetection - CheckUninstallIf3rdPartyDetection returns 0", 1},
        {L"another vendor's product: uninstall",
         [&](Machine& m) { found(m), Set(m, L"UninstallOnTPSoftwareDetection", L"1"); },
         L"end | Aborted:3rdParty Product Detected | KRSDownload:1800 | - | tsinst.exe | -",
         L"Uninstall QEL. Appid: ", 1},
        {L"another vendor's product: the uninstaller fails",
         [&](Machine& m) { found(m), Set(m, L"UninstallOnTPSoftwareDetection", L"1"), m.exits[L"tsinst.exe"] = 87; },
         vendor + L" QelUninstall:3600 | - | tsinst.exe | -",
         L"Failed to launch QelUninstaller, adding an uninstaller schduler. error:87", 4},
        {L"only 1 means found", [](Machine& m) { m.scanAnswer = 2; }, retry,
         L"CQELKRSDownload::IsAny3rdPartyProductInstalled - Status of 3rdPartyProductInstalled is 0", 1},
        {L"no scanner", [](Machine& m) { m.scanner = Machine::Scanner::Missing; }, retry,
         L"CQELKRSDownload::IsAny3rdPartyProductInstalled : Load library failed", 4},
        {L"a scanner without its export", [](Machine& m) { m.scanner = Machine::Scanner::NoExport; }, retry,
         L"CQELKRSDownload::IsAny3rdPartyProductInstalled : Error in GetProcAddress:: Error 127", 4},
        // "MaxKrsDownloadAttempts" (20) against the count, both unsigned.
        {L"count at the limit", count(L"20"), limit + L"krsdownloadcount=20 | - | -",
         L"Krs download max attempt reached, no more retry!", 3},
        {L"count below the limit", count(L"19"),
         L"0 | Started Complete | KRSDownload:10800 | krsdownloadcount=20 | QELUpdater.exe | -",
         L"KrsDownload attempt count is:20", 3},
        {L"a limit of 0", [](Machine& m) { Set(m, L"MaxKrsDownloadAttempts", L"0"); }, limit + L"- | - | -",
         L"CQELKRSDownload::DeleteKRSDownloadTask : KRSDownload task has been removed from QEL Scheduler Service.\n",
         1},
        {L"a negative count is beyond any limit", count(L"-1"), limit + L"krsdownloadcount=-1 | - | -",
         L"pre-Krsdownload check failure, cannot continue with Krs Download.", 3},
        {L"a count that is no number", count(L"abc"), retry, L"KrsDownload attempt count is:1", 3},
        {L"the largest count goes on to the smallest",
         [&](Machine& m) { count(L"2147483647")(m), Set(m, L"MaxKrsDownloadAttempts", L"-1"); },
         L"0 | Started Complete | KRSDownload:10800 | krsdownloadcount=-2147483648 | QELUpdater.exe | -",
         L"KrsDownload attempt count is:-2147483648", 3},
        // The updater, the retry, the suite installed by the updater.
        {L"the updater fails: not counted", [](Machine& m) { m.exits[L"QELUpdater.exe"] = 1603; },
         L"0 | Started | KRSDownload:1800 | - | QELUpdater.exe | -",
         L"CQELKRSDownload::InitiateKRSDownload() - Failed to Launch QelKrs download, we will retry later.", 4},
        {L"download switched off: no retry", [](Machine& m) { Set(m, L"DownloadQelKrs", L"0"); }, noRetry,
         L"QelKrs download is not enabled, no need to add a krsdownload task in schduler.", 3},
        {L"a retry interval below 300 s", [](Machine& m) { Set(m, L"DownloadQelKrsFrequency", L"299"); }, noRetry,
         L"CQELKRSDownload::EnableKRSDownload : Adding KRS Download task failed with error code = 87", 4},
        {L"the updater installs the suite", [](Machine& m) { m.updaterInstallsSuite = true; }, success,
         L"CQELKRSDownload::InitiateKRSDownload() - KRSDownload task has been completed successfully!", 1},
        // The post-install event (or the suite's uninstall entry instead): the outcome changes nothing.
        {L"never set", [](Machine&) {}, retry, L"WaitForSingleObject completed with the result : 258", 3},
        {L"set first by LocalSystem", [](Machine& m) { Plant(m, true, ObjectOwner::Rightful); }, retry,
         L"WaitForSingleObject completed with the result : 0", 3},
        {L"planted set by a user", [](Machine& m) { Plant(m, true), m.updaterInstallsSuite = true; }, success,
         L"The event EVENT_QELKRS_POSTINSTALL belongs to S-1-5-21-1004336348-1177238915-682003330-1001, neither "
         L"LocalSystem nor an administrator: it is ignored", 4},
        {L"planted: the suite's entry instead", [](Machine& m) { Plant(m, true), m.updaterInstallsSuite = true; },
         success, L"The suite's uninstall entry is there", 3},
        {L"the name taken by another kind of object", [](Machine& m) { Plant(m, false); }, retry,
         L"Failed to Create the event EVENT_QELKRS_POSTINSTALL.", 5},
        {L"the name taken: no entry in time", [](Machine& m) { Plant(m, false); }, retry,
         L"The suite's uninstall entry did not appear in time", 3},
        // The integration with an installed suite: no step stops the sequence.
        {L"no jeula", [&](Machine& m) { installed(m), m.settings.erase(L"jeula"); }, tied + L"QELHelper.exe | rvn oobe",
         L"CQELKRSDownload::OnSuccessfulKRSDownload() - Failed to read JEula state.", 4},
        {L"jeula 2", [&](Machine& m) { installed(m), Set(m, L"jeula", L"2"); }, tied + L"QELHelper.exe | rvn oobe",
         L"CQELKRSDownload::OnSuccessfulKRSDownload() - JEula state = 2", 1},
        {L"not to go with the suite", [&](Machine& m) { installed(m), Set(m, L"UninstallWhenKRSUninstalled", L"0"); },
         tied + L"- | rvn oobe jeula",
         L"CQELKRSDownload::RegisterQelWithKrsUninstall - CheckUninstallWithKRS returns 0", 1},
        {L"no helper", [&](Machine& m) { installed(m), Set(m, L"CoreInstallDir", L"C:\\nowhere"); },
         tied + L"- | rvn oobe jeula",
         L"CQELKRSDownload::RegisterQelWithKrsUninstall - File not found, file:C:\\nowhere\\QELHelper.exe. Cannot "
         L"register with KRS custom_uninstall.", 4},
        {L"the helper refused", [&](Machine& m) { installed(m), m.exits[L"QELHelper.exe"] = 87; }, tied + helped,
         L"CQELKRSDownload::RegisterQelWithKrsUninstall - return value of Run() = 87", 1},
        {L"auto-download not wanted", [&](Machine& m) { installed(m), m.store.packages = {{L"KRS-FULL", L"0"}}; },
         untied, L"Autodownload is disabled in QEL, cannot add autodownload task", 3},
        {L"auto-download wanted by a later package",
         [&](Machine& m) { installed(m), m.store.packages = {{L"A", L"0"}, {L"B", L"1"}}; }, tied + helped,
         L"IsAutoDownloadEnabled status is 1.", 3},
        {L"an auto-download interval below 300 s",
         [&](Machine& m) { installed(m), Set(m, L"AutoDownloadCheckFrequency", L"299"); }, untied,
         L"CQELAutoDownload::RegisterScheduleAutoDownloadTask : Adding Auto Download task failed with error code = 87",
         4},
        {L"no integration library", [&](Machine& m) { installed(m), m.library = false; }, tied + L"QELHelper.exe | -",
         L"Adding autodownload task.", 1},
        {L"store held by another program", [&](Machine& m) { installed(m), m.store.held = true; },
         L"0 | Success" + stopped + L"- | - | " + helped,
         L"CQELKRSDownload::OnSuccessfulKRSDownload - Error writing KRSDownloadCompleted status to data storage. We "
         L"are not aborting still continuing.", 4},
        {L"the task already gone", [&](Machine& m) { installed(m), m.tasks.clear(); }, tied + helped,
         L"CQELKRSDownload::DeleteKRSDownloadTask : Deleting KRSDownload task failed with error code = 2\n", 4},
    }, [](Machine& m) { m.tasks = {{L"KRSDownload", 1800}}; });
}

// The companions' command lines and how long each is waited for ("-": the installer is not).
TEST(JobTableTest, CompanionsAndTheirWaits)
{
    const auto m = std::make_shared<Machine>();
    m->updaterInstallsSuite = true;
    CQELKRSDownload(m).ProcessJob();
    EXPECT_THROW(CBUninstallTask(m).ProcessJob(), ProcessEnded);
    EXPECT_EQ(m->commands, (Texts{kCore + L"\\QELUpdater.exe /Install:qelkrs 7200000",
                                  kCore + L"\\QELHelper.exe /RegisterAppidWithKRS:GCB 900000",
                                  kInstaller + L" /uninstall /longpath \"C:\\Program Files\\Tarsen\\QEL\" -"}));
}

TEST(JobTableTest, AutoDownload)
{
    const auto ago = [](long long s) {
        return [=](Machine& m) { m.store.oobe[L"completedtime"] = std::to_wstring(std::time(nullptr) - s); };
    };
    const auto firstRun = [](const wchar_t* t) { return [=](Machine& m) { m.store.oobe[L"completedtime"] = t; }; };
    const auto wait = [](const wchar_t* s) { return [=](Machine& m) { Set(m, L"FirstAutoDownloadCheckWait", s); }; };
    const std::wstring elapsed = L"CQELAutoDownload::isInitialLaunchWaitElapsed - Initial launch wait time elapsed.";
    const std::wstring failed = L"0 | Started Complete Failure | AutoDownload:14400 | autodownloadcount=5 | - | ";
    const std::wstring asked = L"limit? run done?";
    const std::wstring limit = L"50 | Failure:MaxAutoDownloadAttemptReached | - | autodownloadcount=4 | - | limit?";
    const std::wstring waiting = L"50 | Aborted:InitialLaunchTime not elapsed | ";
    RunTable<CQELAutoDownload>(L"AutoDownload", {
        {L"not completed", [](Machine&) {}, failed + asked,
         L"CQELAutoDownload::OnAutoDownloadFailure - Autodownload failed!\n", 4},
        {L"completed", [](Machine& m) { m.done = 1; },
         L"0 | Started Complete Success | - | AutoDownloadComplete=1 autodownloadcount=5 | - | " + asked,
         L"CQELAutoDownload::DeleteAutoDownloadTask : AutoDownload task has been removed from QEL Scheduler Service.\n",
         1},
        {L"only 1 means completed", [](Machine& m) { m.done = 2; }, failed + asked,
         L"CQELAutoDownload::IsAutoDownloadCompleted - AutoDownloadCompleted status is 2.", 1},
        {L"completed, the store held", [](Machine& m) { m.done = 1, m.store.held = true; },
         L"0 | Started Complete Success | AutoDownload:14400 | autodownloadcount=4 | - | " + asked,
         L"CQELAutoDownload::OnSuccessfulAutoDownload() - Error writing AutoDownloadCompleted status to data "
         L"storage.\n",
         4},
        {L"the suite's attempt limit", [](Machine& m) { m.limit = 1; }, limit,
         L"Autodownload max attempt reached, no more retry!", 3},
        {L"any non-zero answer is the limit", [](Machine& m) { m.limit = 2; }, limit,
         L"pre-autodownload check failure, cannot do autodownload.", 3},
        {L"no integration library: not completed", [](Machine& m) { m.library = false; }, failed + L"-",
         L"CQELAutoDownload::IsAutoDownloadCompleted - AutoDownloadCompleted status is 0.", 1},
        // The initial wait after the first run ("FirstAutoDownloadCheckWait", 1200 s).
        {L"an hour after the first run, a wait of two", [&](Machine& m) { ago(3600)(m), wait(L"7200")(m); },
         waiting + L"AutoDownload:14400 | autodownloadcount=4 | - | -",
         L"First auto download check wait time is not lapsed, updating the task scheduler to launch after initial "
         L"wait time", 3},
        {L"an hour after, a wait of one", [&](Machine& m) { ago(3600)(m), wait(L"3600")(m); }, failed + asked, elapsed,
         1},
        {L"a wait of 0 switches it off", [&](Machine& m) { ago(60)(m), wait(L"0")(m); }, failed + asked, elapsed, 0},
        {L"no first run recorded", [](Machine& m) { m.store.oobe.clear(); }, failed + asked, elapsed, 0},
        {L"a first run of 0", firstRun(L"0"), failed + asked, elapsed, 0},
        {L"a first run that is no number: 1970", firstRun(L"abc"), failed + asked, elapsed, 1},
        {L"a first run in the future wraps to long past", ago(-3600), failed + asked, elapsed, 1},
        {L"waiting: registered again with its interval",
         [&](Machine& m) { ago(60)(m), Set(m, L"AutoDownloadCheckFrequency", L"600"); },
         waiting + L"AutoDownload:600 | autodownloadcount=4 | - | -",
         L"CQELAutoDownload::RegisterScheduleAutoDownloadTask - autodownload task is added successfully with QEL "
         L"scheduler service", 1},
        {L"waiting: an interval below 300 s",
         [&](Machine& m) { ago(60)(m), Set(m, L"AutoDownloadCheckFrequency", L"299"), m.tasks.clear(); },
         waiting + L"- | autodownloadcount=4 | - | -",
         L"CQELAutoDownload::RegisterScheduleAutoDownloadTask : Adding Auto Download task failed with error code = 87",
         4},
    }, [](Machine& m) { m.tasks = {{L"AutoDownload", 14400}}, m.store.status[L"autodownloadcount"] = L"4"; });
}

TEST(JobTableTest, Uninstall)
{
    const auto path = [](const wchar_t* p) { return [=](Machine& m) { Set(m, L"GCB\\InstallPath", p); }; };
    const std::wstring retry = L" | - | QelUninstall:3600 | - | - | -";
    const std::wstring refused =
        L"The install path of GCB holds a quotation mark or a line break; not handed to the installer";
    RunTable<CBUninstallTask>(L"", {
        {L"the installer starts", [](Machine&) {}, L"end | - | - | - | tsinst.exe | -",
         L"QelUninstaller Launch success, Exiting the process.", 3},
        {L"no install path", [](Machine& m) { m.settings.erase(L"GCB\\InstallPath"); }, L"87" + retry,
         L"Cant get uninstall inf for appid GCB", 4},
        {L"no installer folder", [](Machine& m) { m.settings.erase(L"Install Dir"); }, L"1012" + retry,
         L"Cant get tsinst uninstall path", 4},
        {L"the installer refused", [](Machine& m) { m.exits[L"tsinst.exe"] = 87; },
         L"87 | - | QelUninstall:3600 | - | tsinst.exe | -",
         L"Failed to launch QelUninstaller, adding an uninstaller schduler. error:87", 4},
        {L"a quotation mark in the path", path(L"C:\\Tarsen\\QEL\" /quiet \"C:\\"), L"87" + retry, refused, 4},
        {L"a line break in the path", path(L"C:\\Tarsen\\QEL\r\n/quiet"), L"87" + retry, refused, 4},
    }, [](Machine&) {});
    // (How the installer reads the path it is given: UninstallScenarioTest.)
}

}  // namespace
