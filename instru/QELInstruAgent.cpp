#include "common/Platform.h"

#include "instru/QELInstruAgent.h"

#include "instru/InstruFields.h"
#include "instru/QELInstru.h"
#include "logging/Log.h"

#include <objbase.h>

CQELInstruAgent::CQELInstruAgent(const std::wstring& eventName) { m_record[L"EventName"] = eventName; }

void CQELInstruAgent::SetField(const std::wstring& key, const std::wstring& value) { m_record[key] = value; }

void CQELInstruAgent::AddFieldProducer(FieldProducer producer) { m_producers.push_back(std::move(producer)); }

void CQELInstruAgent::AddCommonFieldProducers()
{
    AddFieldProducer(instru_fields::KrsVersion);
    AddFieldProducer(instru_fields::LocaleName);
    AddFieldProducer(instru_fields::SoftwareDeviceTag);
    AddFieldProducer(instru_fields::ResellerID);
    AddFieldProducer(instru_fields::AffID);
    AddFieldProducer(instru_fields::EventVersion);
    AddFieldProducer(instru_fields::BiosSerialNumber);
    AddFieldProducer(instru_fields::PackageInfo);
    AddFieldProducer(instru_fields::DatabaseContents);
    AddFieldProducer(instru_fields::PartnerConfiguration);
}

void CQELInstruAgent::SendEvent()
{
    if (m_record.empty()) return;

    // The WMI producer needs COM on this thread; a thread already in another
    // apartment keeps it, and only a successful initialisation is undone.
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (const auto& producer : m_producers) {
        std::wstring key;
        std::wstring value;
        producer(key, value);
        if (!key.empty()) m_record[key] = value;
    }
    if (SUCCEEDED(init)) ::CoUninitialize();

    if (sendInstrumentation(m_record) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Error when sending instrument data");
    }
}

DWORD CQELInstruAgent::sendInstrumentation(const StringMap& record)
{
    CQELInstru instru;
    return instru.SendInstrumentation(record);
}

void SendJobEvent(const std::wstring& eventName, const wchar_t* state, const wchar_t* data)
{
    CQELInstruAgent agent(eventName);
    agent.SetField(L"EventState", state);
    agent.SetField(L"EventType", L"Silent");
    agent.SetField(L"EventSource", L"Scheduler");
    agent.SetField(L"EventData", data);
    agent.AddCommonFieldProducers();
    agent.SendEvent();
}
