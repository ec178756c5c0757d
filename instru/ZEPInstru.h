// Hands one instrumentation event to the telemetry client (instru/ZEPClient.h)
// as the JSON request text the cloud service expects. The caller has
// initialised COM (multithreaded) on its thread.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"

#include <string>

class CZEPInstru {
public:
    virtual ~CZEPInstru() = default;

    // S_OK when the client took the request; every failure is logged here and
    // answered with its HRESULT.
    virtual HRESULT SendData(const std::wstring& appId, const std::wstring& component, const std::wstring& methodName,
                             const std::wstring& timestamp, const StringMap& record);

    // The request text:
    //   {"event":{"ApplicationID":..,"EventType":"genappevent","timestamp":..,"event_data":{record..}}}
    // where the event data is the record plus "component" and "methodName", in key order.
    [[nodiscard]] static DWORD buildRequest(const std::wstring& appId, const std::wstring& component,
                              const std::wstring& methodName, const std::wstring& timestamp, const StringMap& record,
                              std::wstring& out);
};
