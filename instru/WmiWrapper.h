// Reading one property of the first instance of a WMI class, and the BIOS
// facts the instrumentation events carry. The caller has initialised COM
// (multithreaded) on its thread. Every failure is logged and answers "not read".
#pragma once

#include "common/Platform.h"
#include "instru/WmiData.h"

#include <memory>
#include <string>

class CWmiWrapper {
public:
    CWmiWrapper(std::wstring className, std::wstring nameSpace);
    virtual ~CWmiWrapper() = default;

    CWmiWrapper(const CWmiWrapper&) = delete;
    CWmiWrapper& operator=(const CWmiWrapper&) = delete;

    // True when the class query has been run; otherwise logs and answers false.
    bool IsInitialized();
    // Connects and runs the class query; true on success.
    bool InitializeWMI();

    // The property of the first instance, when it holds a value of that type
    // (a string, a 32-bit integer, a boolean); `value` is left as it was otherwise.
    bool GetWmiProperty(const std::wstring& name, std::wstring& value);
    bool GetWmiProperty(const std::wstring& name, LONG& value);
    bool GetWmiProperty(const std::wstring& name, bool& value);

protected:
    bool Initialized() const { return m_initialized; }

private:
    // Gets the property into `value` and logs it as its type demands; false
    // (with `value` empty) when it cannot be read or is a safe array.
    [[nodiscard]] bool readVariant(const std::wstring& name, VARIANT& value);

    std::wstring m_className;
    std::wstring m_namespace;
    std::unique_ptr<CWMI_Data> m_data;
    bool m_initialized = false;
};

// The wrapper bound to "Win32_BIOS" in "\\.\root\CIMV2"; constructing it runs the query.
class CBiosInfo : public CWmiWrapper {
public:
    CBiosInfo();

    // "SerialNumber".
    [[nodiscard]] bool GetSerialNumber(std::wstring& serial);
};

// The machine's BIOS serial number; empty when it cannot be read.
std::wstring GetBiosSerialNumber();
