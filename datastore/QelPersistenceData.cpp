#include "common/Platform.h"

#include "datastore/QelPersistenceData.h"

#include "datastore/DataStoreActivity.h"

#include "common/ExceptionBoundary.h"
#include "common/UniqueHandle.h"
#include "logging/Log.h"
#include "logging/LoggedBoundary.h"

#include <ctime>
#include <memory>

namespace {

// The process-local data store lock: built by static initialisation, before
// the entry point runs and before any job can touch the store, and closed by
// the runtime's exit processing.
const ScopedHandle g_processLock(::CreateMutexW(nullptr, FALSE, L""));

// The process's one document, made on first use and kept until exit.
CQelJsonFormat* ProcessDocument()
{
    // Without it every cycle answers ERROR_INTERNAL_ERROR.
    static const std::unique_ptr<CQelJsonFormat> document =
        boundary::Run([] { return std::make_unique<CQelJsonFormat>(); },
                      [](boundary::Escaped) { return std::unique_ptr<CQelJsonFormat>(); });
    return document.get();
}

}  // namespace

CQelDbAutoSave::CQelDbAutoSave(bool save) : m_document(ProcessDocument()), m_save(save)
{
    if (!m_document) return;
    // A cycle that saves holds the cross-process mutex from its load through
    // its save, so that no other program's save falls between the two and is
    // lost when this one writes. The load and the save take it once more
    // each, as they always do (the mutex is re-entrant for its owner); a cycle
    // that only reads holds it only for its load.
    if (m_save) m_held.emplace(m_document->CrossProcessLock());
    m_result = m_document->LoadData();
}

CQelDbAutoSave::~CQelDbAutoSave()
{
    if (m_document) {
        if (m_save) m_result = m_document->SaveData();
        m_document->ClearData();
    }
    m_document = nullptr;
    m_held.reset();
}

DWORD CQelDbAutoSave::GetResult() { return m_result; }

DWORD CQelDbAutoSave::Save()
{
    if (m_save) {
        m_result = m_document ? m_document->SaveData() : ERROR_INTERNAL_ERROR;
        m_save = false;
    }
    return m_result;
}

CQelJsonFormat* CQelDbAutoSave::GetJsonFormat() { return m_document; }

HANDLE CQelPersistenceData::processLock() const { return g_processLock.Get(); }

template <typename Operation>
DWORD CQelPersistenceData::runCycle(Cycle kind, Lock lock, Operation operation, const std::source_location& caller)
{
    // Always the process-local lock first, then the cross-process mutex
    // (held by the cycle when it saves, else only inside the load).
    const HANDLE processLockHandle = lock == Lock::Take ? processLock() : nullptr;
    if (processLockHandle) ::WaitForSingleObject(processLockHandle, INFINITE);
    ++datastore_activity::g_cycles;
    if (kind == Cycle::Change) ++datastore_activity::g_changingCycles;
    wchar_t operationName[128];
    log_site::QualifiedFunctionName(caller.function_name(), operationName, 128);
    const DWORD rc = boundary::Logged(
        {L"QelPersistenceData.cpp", operationName}, L"Not enough memory for the data store operation", {}, [&] {
            DWORD result = ERROR_INTERNAL_ERROR;
            CQelDbAutoSave cycle(kind == Cycle::Change);
            if (CQelJsonFormat* document = cycle.GetJsonFormat()) {
                result = operation(*document);
                if (kind == Cycle::Change) {
                    const DWORD saved = cycle.Save();
                    if (result == ERROR_SUCCESS) result = saved;
                }
            }
            return result;
        });
    if (processLockHandle) ::ReleaseMutex(processLockHandle);
    return rc;
}

DWORD CQelPersistenceData::GetOobeState(int& state)
{
    const DWORD rc =
        runCycle(Cycle::Read, Lock::Take, [&](CQelJsonFormat& document) { return document.GetOobeState(state); });
    return rc == ERROR_SUCCESS || rc == ERROR_INTERNAL_ERROR ? rc : ERROR_NOT_FOUND;
}

DWORD CQelPersistenceData::SetOobeState(int state)
{
    return runCycle(Cycle::Change, Lock::Take, [&](CQelJsonFormat& document) { return document.SetOobeState(state); });
}

DWORD CQelPersistenceData::GetOobeParameter(const std::wstring& name, std::wstring& value)
{
    const DWORD rc = runCycle(Cycle::Read, Lock::Take,
                              [&](CQelJsonFormat& document) { return document.GetOobeParameter(name, value); });
    return rc == ERROR_SUCCESS || rc == ERROR_INTERNAL_ERROR ? rc : ERROR_NOT_FOUND;
}

DWORD CQelPersistenceData::SetOobeParameter(const std::wstring& name, const std::wstring& value)
{
    return runCycle(Cycle::Change, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.SetOobeParameter(name, value); });
}

DWORD CQelPersistenceData::GetEulaParameter(const std::wstring& name, std::wstring& value)
{
    const DWORD rc = runCycle(Cycle::Read, Lock::Take,
                              [&](CQelJsonFormat& document) { return document.GetEulaParameter(name, value); });
    return rc == ERROR_SUCCESS || rc == ERROR_INTERNAL_ERROR ? rc : ERROR_NOT_FOUND;
}

DWORD CQelPersistenceData::SetEulaParameter(const std::wstring& name, const std::wstring& value)
{
    return runCycle(Cycle::Change, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.SetEulaParameter(name, value); });
}

DWORD CQelPersistenceData::GetJsonData(std::wstring& text)
{
    return runCycle(Cycle::Read, Lock::Take, [&](CQelJsonFormat& document) { return document.GetJsonData(text); });
}

DWORD CQelPersistenceData::InitializeDatabase()
{
    return runCycle(Cycle::Change, Lock::Take, [&](CQelJsonFormat& document) {
        document.SetOobeParameter(L"InitializeDbTime", std::to_wstring(static_cast<long long>(std::time(nullptr))));
        document.SetOobeState(0);
        document.SetEulaState(0);
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
}

DWORD CQelPersistenceData::GetEulaState(int& state)
{
    const DWORD rc =
        runCycle(Cycle::Read, Lock::Take, [&](CQelJsonFormat& document) { return document.GetEulaState(state); });
    return rc == ERROR_SUCCESS || rc == ERROR_INTERNAL_ERROR ? rc : ERROR_NOT_FOUND;
}

DWORD CQelPersistenceData::SetEulaState(int state)
{
    return runCycle(Cycle::Change, Lock::Take, [&](CQelJsonFormat& document) { return document.SetEulaState(state); });
}

DWORD CQelPersistenceData::SetPkgParameter(const std::wstring& packageId, const std::wstring& name,
                                           const std::wstring& value)
{
    return runCycle(Cycle::Change, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.SetPkgParameter(packageId, name, value); });
}

DWORD CQelPersistenceData::GetPackage(const std::wstring& packageId, StringMap& record)
{
    return runCycle(Cycle::Read, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.GetPackage(packageId, record); });
}

DWORD CQelPersistenceData::GetPkgParameter(const std::wstring& packageId, const std::wstring& name,
                                           std::wstring& value)
{
    return runCycle(Cycle::Read, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.GetPkgParameter(packageId, name, value); });
}

DWORD CQelPersistenceData::GetPkgIDs(StringList& ids)
{
    return runCycle(Cycle::Read, Lock::Take, [&](CQelJsonFormat& document) { return document.GetPkgIDs(ids); });
}

DWORD CQelPersistenceData::SetEntParameter(const std::wstring& key, const std::wstring& value)
{
    return runCycle(Cycle::Change, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.SetEntParameter(key, value); });
}

DWORD CQelPersistenceData::GetEntParameter(const std::wstring& key, std::wstring& value)
{
    return runCycle(Cycle::Read, Lock::Skip,
                    [&](CQelJsonFormat& document) { return document.GetEntParameter(key, value); });
}

DWORD CQelPersistenceData::GetEntParameters(StringMap& parameters)
{
    return runCycle(Cycle::Read, Lock::Skip,
                    [&](CQelJsonFormat& document) { return document.GetEntParameters(parameters); });
}

DWORD CQelPersistenceData::AddScheduleTask(const std::wstring& name, const StringMap& record)
{
    return runCycle(Cycle::Change, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.AddScheduleTask(name, record); });
}

DWORD CQelPersistenceData::GetScheduleTask(const std::wstring& name, StringMap& record)
{
    return runCycle(Cycle::Read, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.GetScheduleTask(name, record); });
}

DWORD CQelPersistenceData::GetScheduleTaskNames(StringList& names)
{
    return runCycle(Cycle::Read, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.GetScheduleTaskNames(names); });
}

DWORD CQelPersistenceData::DeleteScheduleTask(const std::wstring& name)
{
    return runCycle(Cycle::Change, Lock::Take,
                    [&](CQelJsonFormat& document) { return document.DeleteScheduleTask(name); });
}

DWORD CQelPersistenceData::DeleteAllScheduleTasks()
{
    return runCycle(Cycle::Change, Lock::Take, [&](CQelJsonFormat& document) { return document.DeleteAllScheduleTasks(); });
}
