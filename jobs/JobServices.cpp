#include "common/Platform.h"

#include "jobs/JobServices.h"

#include "common/LibraryLoader.h"
#include "config/PCReg.h"
#include "datastore/QelPersistenceData.h"
#include "instru/QELInstruAgent.h"
#include "jobs/QELKrsIntegrate.h"
#include "process/TaskExe.h"
#include "scheduler/QelSchedulerTaskMgr.h"

#include <cstdlib>

CForeignScan::CForeignScan() : m_folder(ProgramFolder()) {}

CForeignScan::CForeignScan(std::wstring folder) : m_folder(std::move(folder)) {}

bool CForeignScan::Load()
{
    m_library.Reset(LoadLibraryAbsolute(m_folder + L"ForeignScan.dll"));
    return static_cast<bool>(m_library);
}

bool CForeignScan::Ask(BYTE& answer, DWORD& error)
{
    // No arguments; a one-byte boolean.
    using ScanExport = BYTE(WINAPI*)();
    const FARPROC proc = ::GetProcAddress(m_library.Get(), "IsAnyThirdPartyProductInstalled");
    if (!proc) {
        error = ::GetLastError();
        return false;
    }
    answer = reinterpret_cast<ScanExport>(reinterpret_cast<void*>(proc))();
    return true;
}

CJobServices::CJobServices() : m_store(std::make_unique<CQelPersistenceData>()) {}

CJobServices::~CJobServices() = default;

CQELSettings CJobServices::Settings() { return CQELSettings(std::make_shared<CQELRegConfig>()); }

DWORD CJobServices::GetInstallerDir(std::wstring& out)
{
    return CKrsSetting(std::make_shared<CPCReg>()).GetInstallerDir(out);
}

bool CJobServices::IsSuiteInstalled()
{
    CPCReg reg;
    return IsRvnInstalled(reg);
}

bool CJobServices::IsSuiteInstalledQuietly() { return IsRvnInstalledQuietly(); }

IPersistenceCommonBuild& CJobServices::Status() { return *m_store; }

IPersistenceOobeEula& CJobServices::Oobe() { return *m_store; }

DWORD CJobServices::AddTask(const SchedulerTaskRecord& record) { return CQelScheduleTaskMgr().AddTask(record); }

DWORD CJobServices::DeleteTask(const std::wstring& name) { return CQelScheduleTaskMgr().DeleteTask(name); }

DWORD CJobServices::RunCompanion(const std::wstring& path, const std::wstring& parameters, std::optional<DWORD> waitMs)
{
    CTaskExe companion(path, parameters);
    if (waitMs) companion.SetWaitForCompletion(*waitMs);
    return companion.Run();
}

std::unique_ptr<CQELKrsIntegrate> CJobServices::IntegrationLibrary() { return std::make_unique<CQELKrsIntegrate>(); }

std::unique_ptr<CForeignScan> CJobServices::ForeignScanner() { return std::make_unique<CForeignScan>(); }

void CJobServices::SendEvent(const std::wstring& eventName, const wchar_t* state, const wchar_t* data)
{
    SendJobEvent(eventName, state, data);
}

const JobWaits& CJobServices::Waits() { return m_waits; }

CObjectOwners& CJobServices::Owners() { return m_owners; }

void CJobServices::EndProcess() { std::exit(0); }
