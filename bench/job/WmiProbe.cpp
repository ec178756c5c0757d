// A GUI-subsystem program that only reads the BIOS serial number through WMI,
// as each telemetry event of the job does: the platform's share of a job run
// (COM, the WMI client and its query), measured beside the job.
#include "common/Platform.h"

#include "instru/WmiWrapper.h"

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool read = !GetBiosSerialNumber().empty();
    if (SUCCEEDED(init)) ::CoUninitialize();
    return read ? 0 : 1;
}
