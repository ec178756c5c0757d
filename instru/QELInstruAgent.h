// One instrumentation event. A job creates an agent with the event's name,
// sets its own fields, adds the common field producers and calls SendEvent;
// the producers run at send time and the finished record goes to CQELInstru.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"

#include <functional>
#include <string>
#include <vector>

class CQELInstruAgent {
public:
    // Fills one key and its value.
    using FieldProducer = std::function<void(std::wstring& key, std::wstring& value)>;

    explicit CQELInstruAgent(const std::wstring& eventName);
    virtual ~CQELInstruAgent() = default;

    // Sets (or replaces) one of the job's own fields.
    void SetField(const std::wstring& key, const std::wstring& value);
    void AddFieldProducer(FieldProducer producer);
    // The fields every event carries, in their fixed order: KrsVersion,
    // LocaleName, SoftwareDeviceTag, ResellerID, AffID, EventVersion,
    // BiosSerialNumber, PackageInfo, DatabaseContents, PartnerConfiguration.
    void AddCommonFieldProducers();

    // Runs the producers (with COM initialised for this thread) and sends the
    // record. Failures are logged, never returned.
    void SendEvent();

    const StringMap& Record() const { return m_record; }

protected:
    // Where the finished record goes: CQELInstru::SendInstrumentation.
    [[nodiscard]] virtual DWORD sendInstrumentation(const StringMap& record);

private:
    StringMap m_record;
    std::vector<FieldProducer> m_producers;
};

// A job's milestone as the scheduler's jobs report it: one agent with the
// event's name, the state, EventType "Silent", EventSource "Scheduler", the
// free text (may be empty), the common fields, sent at once.
void SendJobEvent(const std::wstring& eventName, const wchar_t* state, const wchar_t* data);
