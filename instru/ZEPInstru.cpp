#include "common/Platform.h"

#include "instru/ZEPInstru.h"

#include "common/UniqueHandle.h"
#include "datastore/RapidJasonParser.h"
#include "instru/ZEPClient.h"
#include "logging/Log.h"

#include <wrl/client.h>

DWORD CZEPInstru::buildRequest(const std::wstring& appId, const std::wstring& component,
                               const std::wstring& methodName, const std::wstring& timestamp,
                               const StringMap& record, std::wstring& out)
{
    CRapidJasonParser parser;

    StringMap eventData = record;
    eventData[L"component"] = component;
    eventData[L"methodName"] = methodName;
    std::wstring eventDataText;
    DWORD rc = parser.MapToJsonObject(eventData, eventDataText);
    if (rc != ERROR_SUCCESS) return rc;

    const StringMap header = {
        {L"ApplicationID", appId},
        {L"EventType", L"genappevent"},
        {L"timestamp", timestamp},
    };
    std::wstring headerText;
    rc = parser.MapToJsonObject(header, headerText);
    if (rc != ERROR_SUCCESS) return rc;
    if (headerText.empty() || headerText.back() != L'}') return ERROR_INTERNAL_ERROR;

    // The event data becomes the last member of the "event" object: the
    // header loses its closing brace and the request closes both objects.
    headerText.pop_back();
    out = L"{\"event\":" + headerText + L"," + L"\"event_data\":" + eventDataText + L"}}";
    return ERROR_SUCCESS;
}

HRESULT CZEPInstru::SendData(const std::wstring& appId, const std::wstring& component,
                             const std::wstring& methodName, const std::wstring& timestamp, const StringMap& record)
{
    if (appId.empty() || component.empty() || methodName.empty() || timestamp.empty()) {
        QEL_LOG(LOG_ERROR, L"Invalid Arguments");
        return E_INVALIDARG;
    }

    std::wstring request;
    const DWORD rc = buildRequest(appId, component, methodName, timestamp, record, request);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);

    Microsoft::WRL::ComPtr<IZEPClient> client;
    HRESULT hr = ::CoCreateInstance(CLSID_ZEPClient, nullptr, CLSCTX_ALL, IID_IZEPClient,
                                    reinterpret_cast<void**>(client.GetAddressOf()));
    if (FAILED(hr)) {
        QEL_LOG(LOG_ERROR, L"Error when loading ZEP client dll");
        return hr;
    }

    ScopedBstr text(::SysAllocString(request.c_str()));
    if (!text) return E_OUTOFMEMORY;
    hr = client->ReportEvent(text.Get());
    if (FAILED(hr)) QEL_LOG(LOG_ERROR, L"Error when calling ZEP ReportEvent API");
    return hr;
}
