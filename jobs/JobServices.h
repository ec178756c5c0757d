// What the jobs talk to, each behind one seam: settings and the machine's
// facts, the data store, the scheduler, the launcher, the suite's libraries,
// telemetry, the waits and the end of the process. The factory hands every job
// the program's own (CJobServices), which reaches the machine exactly as the
// jobs did themselves: a fresh settings front, task manager or launcher for
// each operation, one data store cycle per call. A test hands in its own and
// runs a job's decisions in process.
#pragma once

#include "common/ObjectOwner.h"
#include "common/Platform.h"
#include "common/UniqueHandle.h"
#include "config/QELSettings.h"
#include "scheduler/QelSchedulerConfig.h"

#include <memory>
#include <optional>
#include <string>

class CQELKrsIntegrate;
class CQelPersistenceData;
class IPersistenceCommonBuild;
class IPersistenceOobeEula;

// How long a run of context 2 waits, in milliseconds.
struct JobWaits {
    DWORD updaterMs = 2 * 60 * 60 * 1000;
    DWORD postInstallMs = 3 * 60 * 60 * 1000;
    // How often the suite's uninstall entry is looked at when the event is not believed.
    DWORD entryPollMs = 5 * 1000;
};

// The foreign-product scanner "ForeignScan.dll": loaded by its full path,
// asked once, freed with this object (so after its caller logged the answer).
class CForeignScan {
public:
    // From the program's own folder.
    CForeignScan();
    // From `folder` (with its trailing backslash) instead.
    explicit CForeignScan(std::wstring folder);
    virtual ~CForeignScan() = default;

    // False when the library cannot be loaded.
    virtual bool Load();
    // The export's one-byte answer; false, and the look-up's error, when the
    // library lacks the export.
    virtual bool Ask(BYTE& answer, DWORD& error);

private:
    std::wstring m_folder;
    ScopedModule m_library;
};

class IJobServices {
public:
    virtual ~IJobServices() = default;

    // A settings front over a new registry configuration: one per operation.
    virtual CQELSettings Settings() = 0;
    // The common installer's folder ("Install Dir"); 0 or the read's error.
    virtual DWORD GetInstallerDir(std::wstring& out) = 0;
    // Whether the suite's uninstall entry has its "DisplayName"; the quiet
    // form logs nothing, for a caller that asks again and again.
    virtual bool IsSuiteInstalled() = 0;
    virtual bool IsSuiteInstalledQuietly() = 0;

    // The data store: status values and packages, first-run values. Every
    // call is one complete cycle.
    virtual IPersistenceCommonBuild& Status() = 0;
    virtual IPersistenceOobeEula& Oobe() = 0;

    // Results as CQelScheduleTaskMgr's: 87 for a record that breaks the
    // rules, else 0; the removal's own result.
    virtual DWORD AddTask(const SchedulerTaskRecord& record) = 0;
    virtual DWORD DeleteTask(const std::wstring& name) = 0;

    // Starts a companion after its signature check, as this process, and
    // waits up to `waitMs` for its end (none: it is not waited for). The
    // launcher's result (CTaskExe::Run).
    virtual DWORD RunCompanion(const std::wstring& path, const std::wstring& parameters,
                               std::optional<DWORD> waitMs) = 0;

    // A new wrapper of the suite's integration library, and a new scanner.
    virtual std::unique_ptr<CQELKrsIntegrate> IntegrationLibrary() = 0;
    virtual std::unique_ptr<CForeignScan> ForeignScanner() = 0;

    // A job's milestone as a "Silent" "Scheduler" telemetry event.
    virtual void SendEvent(const std::wstring& eventName, const wchar_t* state, const wchar_t* data) = 0;

    virtual const JobWaits& Waits() = 0;
    // Whose an existing post-install event is.
    virtual CObjectOwners& Owners() = 0;

    // Ends the process at once with exit code 0, through the runtime's
    // normal exit: the uninstaller has started.
    [[noreturn]] virtual void EndProcess() = 0;
};

// The program's services: the machine itself.
class CJobServices : public IJobServices {
public:
    CJobServices();
    ~CJobServices() override;

    CQELSettings Settings() override;
    DWORD GetInstallerDir(std::wstring& out) override;
    bool IsSuiteInstalled() override;
    bool IsSuiteInstalledQuietly() override;
    IPersistenceCommonBuild& Status() override;
    IPersistenceOobeEula& Oobe() override;
    DWORD AddTask(const SchedulerTaskRecord& record) override;
    DWORD DeleteTask(const std::wstring& name) override;
    DWORD RunCompanion(const std::wstring& path, const std::wstring& parameters, std::optional<DWORD> waitMs) override;
    std::unique_ptr<CQELKrsIntegrate> IntegrationLibrary() override;
    std::unique_ptr<CForeignScan> ForeignScanner() override;
    void SendEvent(const std::wstring& eventName, const wchar_t* state, const wchar_t* data) override;
    const JobWaits& Waits() override;
    CObjectOwners& Owners() override;
    [[noreturn]] void EndProcess() override;

private:
    // The facade keeps nothing between calls.
    std::unique_ptr<CQelPersistenceData> m_store;
    JobWaits m_waits;
    CObjectOwners m_owners;
};
