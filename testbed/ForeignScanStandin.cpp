// Stand-in for "ForeignScan.dll", the framework's detection library for other
// vendors' security products, which lies beside the job runner. Its one
// export, IsAnyThirdPartyProductInstalled, takes nothing and returns a
// one-byte boolean; the stand-in answers the knob
//   "Answer"       REG_DWORD  its low byte is the answer (default 0: nothing found)
//   "JournalPath"  REG_SZ     journal file (default C:\ProgramData\Tarsen\Testbed\foreignscan.journal)
// under HKLM\SOFTWARE\Tarsen\Testbed\ForeignScan. Journal: ASCII lines "load",
// "IsAnyThirdPartyProductInstalled answer=N", "unload" (not at process exit).
// Built with FOREIGNSCAN_STANDIN_NO_EXPORT, the library lacks the export.
#include "common/Platform.h"

#include "testbed/StandinSupport.h"

#include <string>

namespace {

void Journal(const std::string& line)
{
    const std::string text = line + "\n";
    standin::AppendJournal(standin::JournalPath(standin::kForeignScanKey, standin::kForeignScanJournal), text.data(),
                           static_cast<DWORD>(text.size()));
}

}  // namespace

#ifndef FOREIGNSCAN_STANDIN_NO_EXPORT
extern "C" __declspec(dllexport) BYTE WINAPI IsAnyThirdPartyProductInstalled()
{
    const BYTE answer = static_cast<BYTE>(standin::KnobDword(standin::kForeignScanKey, L"Answer", 0));
    Journal("IsAnyThirdPartyProductInstalled answer=" + std::to_string(answer));
    return answer;
}
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) Journal("load");
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) Journal("unload");
    return TRUE;
}
