// A sensible default installation of the framework on a test machine or in the
// demo sandbox: the job runner and the stand-ins in the install folder,
// settings with an affiliate, file logging on, the suite present, a data store
// with a first-run time and an auto-download package, the task "AutoDownload"
// registered, and the common installer that uninstalls the framework. Used by the demo and by the scenario tests, so
// the demo's machine is the tested one.
#pragma once

#include "common/Platform.h"

#include <string>

namespace sandbox {

struct Options {
    // Where QELCommonBuild.exe and the stand-ins were built.
    std::wstring programsFrom;
    std::wstring installDir = L"C:\\Program Files\\Tarsen\\QEL";
    std::wstring affid = L"1234";
    DWORD firstAutoDownloadCheckWait = 1200;
    DWORD autoDownloadCheckFrequency = 14400;
    // The first-run experience completed this many seconds ago; negative: not recorded.
    long long completedSecondsAgo = 2 * 3600;
    // Whether this machine's runs may write the scheduler key (the service's own account).
    bool administrative = true;
    bool registerAutoDownloadTask = true;
    // The common installer's folder ("Install Dir"; empty: not configured) and
    // the build copied there as tsinst.exe (empty: none).
    std::wstring installerDir = L"C:\\Program Files\\Tarsen\\TsInst";
    std::wstring installerBuild = L"companion.exe";
    // Log line options (0x3C: every piece) and the lowest level written.
    DWORD logOptions = 0;
    DWORD logSeverity = 1;
};

// Empty on success, else what could not be done. The data store key
// ("DataStore") must already exist: `qelstore keygen` makes one.
std::wstring ProvisionDefaultInstallation(const Options& options);

// The stand-in suite's answers: whether its auto-download has completed, and
// whether its own attempt limit is reached.
void SetSuiteAnswers(DWORD autoDownloadCompleted, DWORD attemptLimitReached);

std::wstring LogFolder();
std::wstring DataStoreFolder();

}  // namespace sandbox
