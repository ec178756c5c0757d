// The persistence facade: the only way into the data store. Every operation is
// one complete cycle on the process's single document: take the process-local
// lock, load the whole file, operate, save when the operation changes data,
// empty the document, release. Nothing is kept in memory between calls, which
// is what lets the framework's programs share the file.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"
#include "datastore/QelJsonFormat.h"

#include <optional>
#include <source_location>
#include <string>

// First-run (OOBE) and EULA state.
class IPersistenceOobeEula {
public:
    virtual ~IPersistenceOobeEula() = default;
    virtual DWORD GetOobeState(int& state) = 0;
    virtual DWORD SetOobeState(int state) = 0;
    virtual DWORD GetOobeParameter(const std::wstring& name, std::wstring& value) = 0;
    virtual DWORD SetOobeParameter(const std::wstring& name, const std::wstring& value) = 0;
    virtual DWORD GetEulaParameter(const std::wstring& name, std::wstring& value) = 0;
    virtual DWORD SetEulaParameter(const std::wstring& name, const std::wstring& value) = 0;
    virtual DWORD GetJsonData(std::wstring& text) = 0;
    virtual DWORD InitializeDatabase() = 0;
    virtual DWORD GetEulaState(int& state) = 0;
    virtual DWORD SetEulaState(int state) = 0;
};

// Package records and the jobs' status parameters.
class IPersistenceCommonBuild {
public:
    virtual ~IPersistenceCommonBuild() = default;
    virtual DWORD SetPkgParameter(const std::wstring& packageId, const std::wstring& name,
                                  const std::wstring& value) = 0;
    virtual DWORD GetPackage(const std::wstring& packageId, StringMap& record) = 0;
    virtual DWORD GetPkgParameter(const std::wstring& packageId, const std::wstring& name, std::wstring& value) = 0;
    virtual DWORD GetPkgIDs(StringList& ids) = 0;
    virtual DWORD SetEntParameter(const std::wstring& key, const std::wstring& value) = 0;
    virtual DWORD GetEntParameter(const std::wstring& key, std::wstring& value) = 0;
    virtual DWORD GetEntParameters(StringMap& parameters) = 0;
};

// Scheduler task records, identified by their "Name".
class IPersistenceScheduleTask {
public:
    virtual ~IPersistenceScheduleTask() = default;
    virtual DWORD AddScheduleTask(const std::wstring& name, const StringMap& record) = 0;
    virtual DWORD GetScheduleTask(const std::wstring& name, StringMap& record) = 0;
    virtual DWORD GetScheduleTaskNames(StringList& names) = 0;
    virtual DWORD DeleteScheduleTask(const std::wstring& name) = 0;
    virtual DWORD DeleteAllScheduleTasks() = 0;
};

// Results: getters report the document operation's result (the OOBE/EULA
// getters report any failure as 1168); changing operations report the
// operation's result when it failed, otherwise the save's result. A failed
// load is never reported as such: the operation then runs on an empty
// document. Without a document object every operation returns 1359.
class CQelPersistenceData : public IPersistenceOobeEula, public IPersistenceCommonBuild, public IPersistenceScheduleTask {
public:
    CQelPersistenceData() = default;
    ~CQelPersistenceData() override = default;

    DWORD GetOobeState(int& state) override;
    DWORD SetOobeState(int state) override;
    DWORD GetOobeParameter(const std::wstring& name, std::wstring& value) override;
    DWORD SetOobeParameter(const std::wstring& name, const std::wstring& value) override;
    DWORD GetEulaParameter(const std::wstring& name, std::wstring& value) override;
    DWORD SetEulaParameter(const std::wstring& name, const std::wstring& value) override;
    DWORD GetJsonData(std::wstring& text) override;
    // "InitializeDbTime" = now (seconds since 1970 UTC), OOBE state 0, EULA state 0.
    DWORD InitializeDatabase() override;
    DWORD GetEulaState(int& state) override;
    DWORD SetEulaState(int state) override;

    DWORD SetPkgParameter(const std::wstring& packageId, const std::wstring& name, const std::wstring& value) override;
    DWORD GetPackage(const std::wstring& packageId, StringMap& record) override;
    DWORD GetPkgParameter(const std::wstring& packageId, const std::wstring& name, std::wstring& value) override;
    DWORD GetPkgIDs(StringList& ids) override;
    DWORD SetEntParameter(const std::wstring& key, const std::wstring& value) override;
    // These two run without the process-local lock.
    DWORD GetEntParameter(const std::wstring& key, std::wstring& value) override;
    DWORD GetEntParameters(StringMap& parameters) override;

    DWORD AddScheduleTask(const std::wstring& name, const StringMap& record) override;
    DWORD GetScheduleTask(const std::wstring& name, StringMap& record) override;
    DWORD GetScheduleTaskNames(StringList& names) override;
    DWORD DeleteScheduleTask(const std::wstring& name) override;
    DWORD DeleteAllScheduleTasks() override;

protected:
    // The process-local data store lock (an unnamed mutex made before the
    // entry point runs); null when it could not be made, and the cycle then
    // runs without it.
    virtual HANDLE processLock() const;

private:
    enum class Cycle { Read, Change };
    enum class Lock { Take, Skip };
    // `caller` names the facade operation in the cycle's own log line.
    template <typename Operation>
    [[nodiscard]] DWORD runCycle(Cycle kind, Lock lock, Operation operation,
                   const std::source_location& caller = std::source_location::current());
};

// One load-operate-save cycle on the process's document. Construction loads
// (the operation still runs when the load fails, on the emptied document);
// with the save flag, destruction saves unless Save() already did; the
// document is emptied either way. With the save flag the cycle holds the
// cross-process mutex from before the load until it ends.
class CQelDbAutoSave {
public:
    explicit CQelDbAutoSave(bool save);
    virtual ~CQelDbAutoSave();

    CQelDbAutoSave(const CQelDbAutoSave&) = delete;
    CQelDbAutoSave& operator=(const CQelDbAutoSave&) = delete;

    // The last result: the load's, or the save's once saved.
    virtual DWORD GetResult();
    virtual DWORD Save();
    // The process's document; null when it could not be created.
    virtual CQelJsonFormat* GetJsonFormat();

private:
    CQelJsonFormat* m_document = nullptr;
    bool m_save = false;
    DWORD m_result = ERROR_INTERNAL_ERROR;
    std::optional<CSingleMutexForAllUserGrab> m_held;
};
