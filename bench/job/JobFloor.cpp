// The floor of a context-2 run: a GUI-subsystem program that does only the
// platform work that job must do, on the same installation and files, and
// nothing of the job's own: the BIOS serial number through WMI, a bare
// WinVerifyTrust of the updater and of the helper, starting each with the
// job's command line in its own folder and waiting for it, and loading the
// scanner of other vendors' products and the suite's integration library, in
// the job's order.
//   bench_job_floor.exe <installation folder>
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "instru/WmiWrapper.h"
#include "trust/WinTrustFile.h"

#include <wintrust.h>

#include <string>

namespace {

constexpr DWORD kProviderFlags = 0x1214;  // what the program's own check asks WinVerifyTrust for

bool StartAndWait(const std::wstring& folder, const wchar_t* name, const wchar_t* parameters)
{
    const std::wstring path = folder + L"\\" + name;
    if (CWinTrustFile().Verify(path.c_str(), kProviderFlags, WTD_STATEACTION_IGNORE) != 0) return false;
    std::wstring commandLine = L"\"" + path + L"\" " + parameters;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                          &startup, &process)) {
        return false;
    }
    ScopedHandle thread(process.hThread);
    ScopedHandle running(process.hProcess);
    return ::WaitForSingleObject(running.Get(), INFINITE) == WAIT_OBJECT_0;
}

bool Load(const std::wstring& folder, const wchar_t* name)
{
    return ScopedModule(::LoadLibraryExW((folder + L"\\" + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH))
        .Get() != nullptr;
}

}  // namespace

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    const std::wstring folder = commandLine;
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool ok = !GetBiosSerialNumber().empty();
    ok = Load(folder, L"ForeignScan.dll") && ok;
    ok = StartAndWait(folder, L"QELUpdater.exe", L"/Install:qelkrs") && ok;
    ok = Load(folder, L"QELKrsIntegrate.dll") && ok;
    ok = StartAndWait(folder, L"QELHelper.exe", L"/RegisterAppidWithKRS:GCB") && ok;
    if (SUCCEEDED(init)) ::CoUninitialize();
    return ok ? 0 : 1;
}
