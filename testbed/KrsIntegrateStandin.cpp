// Stand-in for the KRS suite's integration library "QELKrsIntegrate.dll".
// Every export journals its call (one ASCII line, in call order) and answers
// from its knobs under HKLM\SOFTWARE\Tarsen\Testbed\KrsIntegrate:
//   "<Export>Result"         REG_DWORD  the export's return value (default 0)
//   "AutoDownloadCompleted"  REG_DWORD  written to IsKrsAutoDownloadCompleted's output
//   "MaxAttemptOver"         REG_DWORD  written to IsAutodownloadMaxAttemptOver's output
//   "JournalPath"            REG_SZ     journal file (default C:\ProgramData\Tarsen\Testbed\krsintegrate.journal)
// An output knob that is absent leaves the caller's value untouched.
// Built with KRS_STANDIN_OMIT_<Export> defined, the library lacks that export.
#include "common/Platform.h"

#include "testbed/StandinSupport.h"

#include <string>

namespace {

void Journal(const std::string& line)
{
    const std::string text = line + "\n";
    standin::AppendJournal(standin::JournalPath(standin::kKrsIntegrateKey, standin::kKrsIntegrateJournal),
                           text.data(), static_cast<DWORD>(text.size()));
}

DWORD Result(const char* exportName)
{
    const std::string name = std::string(exportName) + "Result";
    return standin::KnobDword(standin::kKrsIntegrateKey, std::wstring(name.begin(), name.end()).c_str(), 0);
}

DWORD PlainCall(const char* exportName)
{
    const DWORD result = Result(exportName);
    Journal(std::string(exportName) + " result=" + std::to_string(result));
    return result;
}

// "<Export> in=<caller's value> out=<value after the call> result=<n>"
DWORD OutputCall(const char* exportName, const wchar_t* outputKnob, DWORD* output)
{
    if (!output) {
        Journal(std::string(exportName) + " out=null result=87");
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD before = *output;
    DWORD value = 0;
    if (standin::ReadKnobDword(standin::kKrsIntegrateKey, outputKnob, value)) *output = value;
    const DWORD result = Result(exportName);
    Journal(std::string(exportName) + " in=" + std::to_string(before) + " out=" + std::to_string(*output) +
            " result=" + std::to_string(result));
    return result;
}

}  // namespace

#define KRS_EXPORT extern "C" __declspec(dllexport)

#ifndef KRS_STANDIN_OMIT_AddQelIntoRvnQueryparam
KRS_EXPORT DWORD WINAPI AddQelIntoRvnQueryparam() { return PlainCall("AddQelIntoRvnQueryparam"); }
#endif

#ifndef KRS_STANDIN_OMIT_UpdateOobeDoneState
KRS_EXPORT DWORD WINAPI UpdateOobeDoneState() { return PlainCall("UpdateOobeDoneState"); }
#endif

#ifndef KRS_STANDIN_OMIT_UpdateJEulaAcceptance
KRS_EXPORT DWORD WINAPI UpdateJEulaAcceptance() { return PlainCall("UpdateJEulaAcceptance"); }
#endif

#ifndef KRS_STANDIN_OMIT_RunKrsAutoDownload
KRS_EXPORT DWORD WINAPI RunKrsAutoDownload() { return PlainCall("RunKrsAutoDownload"); }
#endif

#ifndef KRS_STANDIN_OMIT_IsKrsAutoDownloadCompleted
KRS_EXPORT DWORD WINAPI IsKrsAutoDownloadCompleted(DWORD* completed)
{
    return OutputCall("IsKrsAutoDownloadCompleted", L"AutoDownloadCompleted", completed);
}
#endif

#ifndef KRS_STANDIN_OMIT_IsAutodownloadMaxAttemptOver
KRS_EXPORT DWORD WINAPI IsAutodownloadMaxAttemptOver(DWORD* attemptOver)
{
    return OutputCall("IsAutodownloadMaxAttemptOver", L"MaxAttemptOver", attemptOver);
}
#endif

// "load" when a process loads the library, "unload" when it frees it again
// (not at process exit), so tests can see who holds the library how long.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) Journal("load");
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) Journal("unload");
    return TRUE;
}
