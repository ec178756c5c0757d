// Driving and observing the stand-ins of testbed/ from a test: registering
// the telemetry client, setting knobs, reading journals. See testbed/README.md.
#pragma once

#include "common/Platform.h"

#include "testbed/Observe.h"

#include <string>
#include <vector>

namespace testbed {

// Registers the stand-in telemetry client beside the test program the way its
// installer does: an in-process server for all threading models.
void RegisterTelemetryClient();
void UnregisterTelemetryClient();
// Knobs of the telemetry client ("ReportResult", "CreateResult").
void SetTelemetryKnob(const std::wstring& name, DWORD value);
void ClearTelemetryKnobs();
// The request texts the client received, in order.
std::vector<std::wstring> TelemetryRequests();
void ClearTelemetryJournal();

// Knobs of the integration library ("<Export>Result", "AutoDownloadCompleted", "MaxAttemptOver").
void SetKrsIntegrateKnob(const std::wstring& name, DWORD value);
void ClearKrsIntegrateKnobs();
// Its journal lines ("load", "RunKrsAutoDownload result=0", ...), in order.
std::vector<std::string> KrsIntegrateCalls();
void ClearKrsIntegrateJournal();

// Knobs of the trust-validation library ("Word0", "Word1", "GetInterfaceResult").
void SetTsGuardKnob(const std::wstring& name, DWORD value);
void ClearTsGuardKnobs();
// Its journal lines ("load C:\\...\\tsguard.dll", "validate flags=4 words=2,1 C:\\x.exe", ...), in order.
std::vector<std::string> TsGuardCalls();
void ClearTsGuardJournal();

// What the foreign-product scanner ForeignScan.dll answers (its low byte; 1: found).
void SetForeignScanAnswer(DWORD answer);
std::vector<std::string> ForeignScanCalls();

// The signed sample files of the signature-check tests (build/bin/trust).
std::wstring TrustSample(const std::wstring& name);

// The terminal services stand-in: copies it into the system folder (once) and
// sets the machine's load order for "wtsapi32": L"native" the stand-in, L""
// no library at all, L"builtin" the machine's own (which lists no session).
void UseSessionLibrary(const wchar_t* loadOrder);
// Its knobs: "Sessions" as "id:state id:state", "EnumerateError", "TokenError".
void SetSessions(const std::wstring& sessions, DWORD enumerateError = 0, DWORD tokenError = 0);
// Its journal lines ("WTSEnumerateSessionsW count=2", "WTSFreeMemory", ...).
std::vector<std::string> SessionCalls();
void ClearSessions();  // knobs and journal

// The companion stand-in copied to `path` (its unsigned build with `signedBuild`
// false); its role is the file name without extension.
void InstallCompanion(const std::wstring& path, bool signedBuild = true);
void SetCompanionKnob(const std::wstring& role, const std::wstring& name, DWORD value);
void ClearCompanion(const std::wstring& role);  // knobs and journal
using observe::CompanionRuns;  // what each start journaled

// Makes this program a user of the desktop, which keeps the machine's shell
// process (explorer.exe) running while the program runs; false when it does not run.
bool KeepShellRunning();

}  // namespace testbed
