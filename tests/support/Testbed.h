// Driving and observing the stand-ins of testbed/ from a test: registering
// the telemetry client, setting knobs, reading journals. See testbed/README.md.
#pragma once

#include "common/Platform.h"

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

// The signed sample files of the signature-check tests (build/bin/trust).
std::wstring TrustSample(const std::wstring& name);

}  // namespace testbed
