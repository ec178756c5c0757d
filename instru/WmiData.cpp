#include "common/Platform.h"

#include "instru/WmiData.h"

#include <map>

using Microsoft::WRL::ComPtr;

namespace {

// The process-wide side of WMI: one locator and one connection per namespace.
// Used on the job's thread only.
struct WmiConnections {
    ComPtr<IWbemLocator> locator;
    std::map<std::wstring, ComPtr<IWbemServices>> services;
};

WmiConnections& Connections()
{
    static WmiConnections connections;
    return connections;
}

HRESULT Locator(ComPtr<IWbemLocator>& out)
{
    auto& shared = Connections();
    if (!shared.locator) {
        const HRESULT hr = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                              reinterpret_cast<void**>(shared.locator.GetAddressOf()));
        if (FAILED(hr)) {
            shared.locator.Reset();
            return hr;
        }
    }
    out = shared.locator;
    return S_OK;
}

// The connection to `nameSpace`, made once. A connection whose security
// blanket cannot be set is released and not kept.
HRESULT Services(const std::wstring& nameSpace, ComPtr<IWbemServices>& out)
{
    auto& shared = Connections();
    const auto found = shared.services.find(nameSpace);
    if (found != shared.services.end()) {
        out = found->second;
        return S_OK;
    }
    ComPtr<IWbemLocator> locator;
    HRESULT hr = Locator(locator);
    if (FAILED(hr)) return hr;

    ScopedBstr path(::SysAllocString(nameSpace.c_str()));
    if (!path) return E_OUTOFMEMORY;
    ComPtr<IWbemServices> services;
    hr = locator->ConnectServer(path.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.GetAddressOf());
    if (FAILED(hr)) return hr;

    hr = ::CoSetProxyBlanket(services.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) return hr;

    shared.services.emplace(nameSpace, services);
    out = services;
    return S_OK;
}

}  // namespace

HRESULT CWMI_Data::Create(const std::wstring& nameSpace, const std::wstring& className,
                          std::unique_ptr<CWMI_Data>& out)
{
    std::unique_ptr<CWMI_Data> data(new (std::nothrow) CWMI_Data());
    if (!data) return E_OUTOFMEMORY;
    data->m_namespace.Reset(::SysAllocString(nameSpace.c_str()));
    data->m_className.Reset(::SysAllocString(className.c_str()));
    if (!data->m_namespace || !data->m_className) return E_OUTOFMEMORY;

    ComPtr<IWbemServices> services;
    HRESULT hr = Services(nameSpace, services);
    if (FAILED(hr)) return hr;
    hr = data->runQuery(services.Get());
    if (FAILED(hr)) {
        // A connection that cannot answer a query any more (its server went
        // away, or COM was shut down since it was made) is not kept: the next
        // query connects anew.
        Connections().services.erase(nameSpace);
        return hr;
    }
    out = std::move(data);
    return S_OK;
}

HRESULT CWMI_Data::runQuery(IWbemServices* services)
{
    const std::wstring text = std::wstring(L"SELECT * FROM ") + m_className.Get();
    ScopedBstr language(::SysAllocString(L"WQL"));
    ScopedBstr query(::SysAllocString(text.c_str()));
    if (!language || !query) return E_OUTOFMEMORY;

    ComPtr<IEnumWbemClassObject> objects;
    const HRESULT hr = services->ExecQuery(language.Get(), query.Get(),
                                           WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                           objects.GetAddressOf());
    if (FAILED(hr)) return hr;

    ULONG returned = 0;
    ComPtr<IWbemClassObject> first;
    const HRESULT next = objects->Next(static_cast<LONG>(WBEM_INFINITE), 1, first.GetAddressOf(), &returned);
    if (SUCCEEDED(next) && returned == 1) m_classObject = first;
    return S_OK;
}

void CWMI_Data::ReleaseConnections()
{
    auto& shared = Connections();
    shared.services.clear();
    shared.locator.Reset();
}
