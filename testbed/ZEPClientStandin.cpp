// Stand-in for the framework's telemetry client: an in-process COM server of
// class {B62A9F7D-4F97-4740-9EEE-3554F2AD2E4B} with the client interface
// {861CEB0E-B6F3-4DA8-A7E7-DBC43D335628} (instru/ZEPClient.h).
// ReportEvent appends the request text to a journal: UTF-16LE, no BOM, each
// request followed by one L'\n' (the JSON text never holds a raw line feed).
// Knobs under HKLM\SOFTWARE\Tarsen\Testbed\Telemetry, read on every call:
//   "ReportResult"  REG_DWORD  HRESULT ReportEvent answers (default S_OK); the request is journaled either way
//   "CreateResult"  REG_DWORD  HRESULT the class factory answers instead of an object (default S_OK)
//   "JournalPath"   REG_SZ     journal file (default C:\ProgramData\Tarsen\Testbed\telemetry.journal)
// Registration (DllRegisterServer): HKLM\SOFTWARE\Classes\CLSID\{...}\InprocServer32,
// default value = this file's path, "ThreadingModel" = "Both".
#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "instru/ZEPClient.h"
#include "testbed/StandinSupport.h"

#include <olectl.h>

#include <atomic>
#include <new>
#include <string>

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};  // live objects and server locks: the DLL stays while any exist
constexpr wchar_t kClassKey[] = L"SOFTWARE\\Classes\\CLSID\\{B62A9F7D-4F97-4740-9EEE-3554F2AD2E4B}";

class Client final : public IZEPClient {
public:
    Client() { ++g_objects; }
    ~Client() { --g_objects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (!out) return E_POINTER;
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IZEPClient)) {
            *out = static_cast<IZEPClient*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG refs = --m_refs;
        if (refs == 0) delete this;
        return refs;
    }

    HRESULT STDMETHODCALLTYPE GetClientVersion(BSTR* version) override
    {
        if (!version) return E_POINTER;
        *version = ::SysAllocString(L"Testbed");
        return *version ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE ReportEvent(BSTR request) override
    {
        std::wstring line(request ? request : L"", request ? ::SysStringLen(request) : 0);
        line.push_back(L'\n');
        standin::AppendJournal(standin::JournalPath(standin::kTelemetryKey, standin::kTelemetryJournal),
                               line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)));
        return static_cast<HRESULT>(standin::KnobDword(standin::kTelemetryKey, L"ReportResult", S_OK));
    }

private:
    std::atomic<ULONG> m_refs{1};
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (!out) return E_POINTER;
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // The one factory is static: its reference count does not decide its life.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        const HRESULT forced = static_cast<HRESULT>(standin::KnobDword(standin::kTelemetryKey, L"CreateResult", S_OK));
        if (FAILED(forced)) return forced;
        Client* client = new (std::nothrow) Client();
        if (!client) return E_OUTOFMEMORY;
        const HRESULT hr = client->QueryInterface(riid, out);
        client->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock) ++g_objects; else --g_objects;
        return S_OK;
    }
};

Factory g_factory;

LONG SetString(HKEY key, const wchar_t* name, const std::wstring& value)
{
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!::IsEqualCLSID(clsid, CLSID_ZEPClient)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, out);
}

HRESULT WINAPI DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }

HRESULT WINAPI DllRegisterServer()
{
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(g_module, path, MAX_PATH);
    if (n == 0 || n == MAX_PATH) return E_FAIL;
    ScopedRegKey server;
    const std::wstring serverKey = std::wstring(kClassKey) + L"\\InprocServer32";
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, serverKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, server.Put(),
                          nullptr) != ERROR_SUCCESS) {
        return SELFREG_E_CLASS;
    }
    if (SetString(server.Get(), nullptr, std::wstring(path, n)) != ERROR_SUCCESS ||
        SetString(server.Get(), L"ThreadingModel", L"Both") != ERROR_SUCCESS) {
        return SELFREG_E_CLASS;
    }
    return S_OK;
}

HRESULT WINAPI DllUnregisterServer()
{
    const LONG rc = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

}  // extern "C"
