// A sensible default installation of the framework on a test machine or in the
// demo sandbox: the job runner and the stand-ins in the install folder
// (the suite's integration library, the telemetry client, the updater, the
// helper, the foreign-product scanner), the common installer that uninstalls
// the framework in its own folder, settings with an affiliate, file
// logging on, a data store with a first-run time and an auto-download
// package. By default it is a freshly pre-installed machine: the suite is
// absent and the task "KRSDownload" is registered, as the framework's
// installer leaves it; the updater stand-in installs the suite and its
// post-install signal follows half a second after the updater ends. Used by
// the demo and by the scenario tests, so the demo's machine is the tested one.
#pragma once

#include "common/Platform.h"

#include <string>

namespace sandbox {

enum class Start {
    // The suite absent, "KRSDownload" registered with "FirstKrsDownloadWait".
    Preinstalled,
    // Later in life: the suite installed, "AutoDownload" registered.
    SuiteInstalled,
};

struct Options {
    Start start = Start::Preinstalled;
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
    // Whether the task the machine starts with is registered.
    bool registerStartTask = true;
    // "AutoDownLoadFlag" of the installation's package ("1": the suite's auto-download is wanted).
    std::wstring autoDownloadFlag = L"1";
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

// A setting in the affiliate's partner key (REG_SZ), as the installer writes them.
void SetSetting(const std::wstring& name, const std::wstring& value, const std::wstring& affid = L"1234");

// The stand-in suite's answers: whether its auto-download has completed, and
// whether its own attempt limit is reached.
void SetSuiteAnswers(DWORD autoDownloadCompleted, DWORD attemptLimitReached);

std::wstring LogFolder();
std::wstring DataStoreFolder();

}  // namespace sandbox
