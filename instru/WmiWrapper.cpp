#include "common/Platform.h"

#include "instru/WmiWrapper.h"

#include "logging/Log.h"

namespace {

// The reads share one routine; their lines are those of the read operation.
#define WMI_READ_LOG(level, ...) \
    QEL_LOG_AS((level), L"WmiWrapper.cpp", L"CWmiWrapper::GetWmiProperty", __VA_ARGS__)

// Clears the variant whatever way the read leaves.
class VariantGuard {
public:
    VariantGuard() { ::VariantInit(&m_value); }
    ~VariantGuard() { ::VariantClear(&m_value); }
    VariantGuard(const VariantGuard&) = delete;
    VariantGuard& operator=(const VariantGuard&) = delete;
    VARIANT& Get() { return m_value; }

private:
    VARIANT m_value;
};

}  // namespace

CWmiWrapper::CWmiWrapper(std::wstring className, std::wstring nameSpace)
    : m_className(std::move(className)), m_namespace(std::move(nameSpace))
{
}

bool CWmiWrapper::IsInitialized()
{
    if (m_data) return true;
    QEL_LOG(LOG_ERROR, L"Object is not initialized.");
    return false;
}

bool CWmiWrapper::InitializeWMI()
{
    if (FAILED(CWMI_Data::Create(m_namespace, m_className, m_data))) {
        // The line carries the thread's last error as the failed creation left it.
        QEL_LOG(LOG_ERROR, L"Failed to create CWMI_Data object, error:%d", static_cast<int>(::GetLastError()));
        return false;
    }
    m_initialized = true;
    QEL_LOG(LOG_INFORMATION, L"InitializeWMI() success for %s", m_className.c_str());
    return true;
}

bool CWmiWrapper::readVariant(const std::wstring& name, VARIANT& value)
{
    if (!m_initialized) {
        WMI_READ_LOG(LOG_ERROR, L"Wmi object is not initialized.");
        return false;
    }
    IWbemClassObject* object = m_data ? m_data->ClassObject() : nullptr;
    if (!object) {
        WMI_READ_LOG(LOG_ERROR, L"CWMI_Class object is invalid, cannot contnue");
        return false;
    }
    if (FAILED(object->Get(name.c_str(), 0, &value, nullptr, nullptr))) {
        WMI_READ_LOG(LOG_ERROR, L"Failed to get WMI property %s", name.c_str());
        return false;
    }
    if (V_VT(&value) & VT_ARRAY) {
        WMI_READ_LOG(LOG_INFORMATION, L"%s : is a safe array ", name.c_str());
        return false;
    }
    switch (V_VT(&value)) {
    case VT_BSTR:
        WMI_READ_LOG(LOG_INFORMATION, L"%s : %s", name.c_str(), V_BSTR(&value) ? V_BSTR(&value) : L"");
        return true;
    case VT_I4:
        WMI_READ_LOG(LOG_INFORMATION, L"%s : %d", name.c_str(), static_cast<int>(V_I4(&value)));
        return true;
    case VT_BOOL:
        WMI_READ_LOG(LOG_INFORMATION, L"%s : %d", name.c_str(), V_BOOL(&value) != VARIANT_FALSE ? 1 : 0);
        return true;
    default:
        // Null (the instance has no value) or a type this reader does not take.
        WMI_READ_LOG(LOG_ERROR, L"Failed to get WMI property %s", name.c_str());
        return false;
    }
}

bool CWmiWrapper::GetWmiProperty(const std::wstring& name, std::wstring& value)
{
    VariantGuard variant;
    if (!readVariant(name, variant.Get())) return false;
    if (V_VT(&variant.Get()) != VT_BSTR) {
        QEL_LOG(LOG_ERROR, L"Failed to get WMI property %s", name.c_str());
        return false;
    }
    const BSTR text = V_BSTR(&variant.Get());
    value.assign(text ? text : L"", text ? ::SysStringLen(text) : 0);
    QEL_LOG(LOG_INFORMATION, L"WMI property %s successfully retrieved", name.c_str());
    return true;
}

bool CWmiWrapper::GetWmiProperty(const std::wstring& name, LONG& value)
{
    VariantGuard variant;
    if (!readVariant(name, variant.Get())) return false;
    if (V_VT(&variant.Get()) != VT_I4) {
        QEL_LOG(LOG_ERROR, L"Failed to get WMI property %s", name.c_str());
        return false;
    }
    value = V_I4(&variant.Get());
    QEL_LOG(LOG_INFORMATION, L"WMI property %s successfully retrieved", name.c_str());
    return true;
}

bool CWmiWrapper::GetWmiProperty(const std::wstring& name, bool& value)
{
    VariantGuard variant;
    if (!readVariant(name, variant.Get())) return false;
    if (V_VT(&variant.Get()) != VT_BOOL) {
        QEL_LOG(LOG_ERROR, L"Failed to get WMI property %s", name.c_str());
        return false;
    }
    value = V_BOOL(&variant.Get()) != VARIANT_FALSE;
    QEL_LOG(LOG_INFORMATION, L"WMI property %s successfully retrieved", name.c_str());
    return true;
}

CBiosInfo::CBiosInfo() : CWmiWrapper(L"Win32_BIOS", L"\\\\.\\root\\CIMV2")
{
    if (!Initialized()) InitializeWMI();
}

bool CBiosInfo::GetSerialNumber(std::wstring& serial) { return GetWmiProperty(L"SerialNumber", serial); }

std::wstring GetBiosSerialNumber()
{
    CBiosInfo bios;
    std::wstring serial;
    if (!bios.GetSerialNumber(serial)) serial.clear();
    return serial;
}
