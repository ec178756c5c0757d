// Stand-in for the platform's trust-validation library "tsguard.dll". Its one
// export, "NotComDllGetInterface", hands out the "GrdValidationControl"
// interface; the interface's sixth operation (ValidateFile) answers the two
// result words from knobs under HKLM\SOFTWARE\Tarsen\Testbed\TsGuard:
//   "Word0", "Word1"       REG_DWORD  the answer words (default 0: vouches for nothing)
//   "GetInterfaceResult"   REG_DWORD  what the export returns (default 0; non-zero: no interface)
//   "JournalPath"          REG_SZ     journal file (default C:\ProgramData\Tarsen\Testbed\tsguard.journal)
// Journal (UTF-8, one line per event):
//   load C:\path\tsguard.dll                 a process loaded this file
//   get GrdValidationControl result=0        the export was called
//   validate flags=4 words=2,1 C:\path\x.exe the sixth operation was called
//   unexpected Reserved3                      another operation was called
// The loader frees the module right after the export returns; the interface
// stays usable because the library pins itself in the process on first use.
#include "common/Platform.h"

#include "testbed/StandinSupport.h"
#include "trust/NotComDll.h"

#include <cstring>
#include <string>

namespace {

std::string Utf8(const std::wstring& text)
{
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
    return out;
}

void Journal(const std::string& line)
{
    const std::string text = line + "\n";
    standin::AppendJournal(standin::JournalPath(standin::kTsGuardKey, standin::kTsGuardJournal), text.data(),
                           static_cast<DWORD>(text.size()));
}

class ValidationControl final : public IGrdValidationControl {
public:
    DWORD WINAPI Reserved1() override { return unexpected("Reserved1"); }
    DWORD WINAPI Reserved2() override { return unexpected("Reserved2"); }
    DWORD WINAPI Reserved3() override { return unexpected("Reserved3"); }
    DWORD WINAPI Reserved4() override { return unexpected("Reserved4"); }
    DWORD WINAPI Reserved5() override { return unexpected("Reserved5"); }
    DWORD WINAPI ValidateFile(LPCWSTR path, DWORD flags, DWORD* results) override
    {
        const DWORD word0 = standin::KnobDword(standin::kTsGuardKey, L"Word0", 0);
        const DWORD word1 = standin::KnobDword(standin::kTsGuardKey, L"Word1", 0);
        if (results) {
            results[0] = word0;
            results[1] = word1;
        }
        Journal("validate flags=" + std::to_string(flags) + " words=" + std::to_string(word0) + "," +
                std::to_string(word1) + " " + Utf8(path ? path : L"(null)"));
        return ERROR_SUCCESS;
    }

private:
    DWORD unexpected(const char* name)
    {
        Journal(std::string("unexpected ") + name);
        return ERROR_NOT_SUPPORTED;
    }
};

ValidationControl g_control;

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI NotComDllGetInterface(LPCSTR interfaceName, void** object)
{
    const DWORD result = standin::KnobDword(standin::kTsGuardKey, L"GetInterfaceResult", 0);
    Journal(std::string("get ") + (interfaceName ? interfaceName : "(null)") + " result=" + std::to_string(result));
    if (!object) return ERROR_INVALID_PARAMETER;
    *object = nullptr;
    if (result != ERROR_SUCCESS) return result;
    if (!interfaceName || std::strcmp(interfaceName, "GrdValidationControl") != 0) return ERROR_NOT_SUPPORTED;
    // The caller frees its handle right away; the interface must outlive it.
    HMODULE pinned = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&g_control), &pinned);
    *object = static_cast<IGrdValidationControl*>(&g_control);
    return ERROR_SUCCESS;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH] = L"";
        ::GetModuleFileNameW(instance, path, MAX_PATH);
        Journal("load " + Utf8(path));
    }
    return TRUE;
}
