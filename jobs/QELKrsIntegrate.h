// The suite integration library "QELKrsIntegrate.dll": a library of the KRS
// suite that lies beside the program. It is loaded on first use, by absolute
// path from the program's own folder, and its exports are called by name.
//
// Ownership: a job that talks to the suite holds one CQELKrsIntegrate as its
// member. The wrapper owns the module handle, so the library stays loaded for
// the job's whole life and is freed when the job is destroyed (and no sooner).
// A load that failed is tried again on the next call.
#pragma once

#include "common/Platform.h"
#include "common/UniqueHandle.h"
#include "common/WideFormatString.h"

#include <string>

class CQELKrsIntegrate {
public:
    static constexpr wchar_t kLibraryName[] = L"QELKrsIntegrate.dll";

    // Loads from the program's own folder.
    CQELKrsIntegrate();
    // Loads from `folder` (with its trailing backslash) instead: for callers
    // that keep the library somewhere else, and for tests.
    explicit CQELKrsIntegrate(std::wstring folder);
    virtual ~CQELKrsIntegrate() = default;

    CQELKrsIntegrate(const CQELKrsIntegrate&) = delete;
    CQELKrsIntegrate& operator=(const CQELKrsIntegrate&) = delete;

    // True at once when the library is loaded; otherwise loads it, and on
    // failure logs and returns false.
    virtual bool LoadDLL();

    // Each returns 6 when the library cannot be loaded, 1 when it lacks the
    // export, else the export's own result. Outputs are written by the
    // library only; on either failure they keep the caller's value.
    virtual DWORD AddQelIntoRvnQueryparam();
    virtual DWORD UpdateOobeDoneState();
    virtual DWORD UpdateJEulaAcceptance();
    virtual DWORD RunKrsAutoDownload();
    virtual DWORD IsKrsAutoDownloadCompleted(DWORD* completed);
    virtual DWORD IsAutodownloadMaxAttemptOver(DWORD* attemptOver);

    HMODULE Module() const { return m_module.Get(); }

private:
    // The export by name, or null (and the last error of GetProcAddress).
    FARPROC lookUp(const char* exportName);
    template <typename Fn, typename... Args>
    DWORD callExport(const char* exportName, const wchar_t* wrapper, WideFormatString<DWORD> missingExportFormat,
                     Args... args);

    std::wstring m_folder;
    ScopedModule m_module;
};
