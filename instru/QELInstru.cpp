#include "common/Platform.h"

#include "instru/QELInstru.h"

#include "config/QELSettings.h"
#include "instru/ZEPInstru.h"
#include "logging/Log.h"

#include <objbase.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr wchar_t kComponent[] = L"QEL";
constexpr wchar_t kMethodName[] = L"SendInstrumentation";

// FILETIME counts 100 ns steps since 1601-01-01; the Unix epoch lies this many seconds later.
constexpr ULONGLONG kEpochDifferenceSeconds = 11644473600ULL;

}  // namespace

DWORD CQELInstru::SendInstrumentation(const StringMap& record)
{
    if (record.empty()) {
        QEL_LOG(LOG_ERROR, L"Invalid arguments");
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring appId;
    if (getZEPAppID(appId) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Cannot get a valid ZEP appID for QEL");
        return ERROR_CANTREAD;
    }
    if (!isZEPEventRequired()) {
        QEL_LOG(LOG_NORMAL, L"ZEP is not required");
        return ERROR_SUCCESS;
    }
    sendZEPEvents(appId, kComponent, kMethodName, GetTimestamp(), record);
    return ERROR_SUCCESS;
}

bool CQELInstru::isZEPEventRequired()
{
    CQELSettings settings(std::make_shared<CQELRegConfig>());
    std::wstring text;
    if (settings.GetSetting(L"ZepInstru", text) != ERROR_SUCCESS) {
        QEL_LOG(LOG_ERROR, L"Can't get ZEP value from registry");
        return false;
    }
    if (_wtoi(text.c_str()) == 0) {
        QEL_LOG(LOG_NORMAL, L"ZEP event not required");
        return false;
    }
    return true;
}

DWORD CQELInstru::getZEPAppID(std::wstring& appId)
{
    CQELSettings settings(std::make_shared<CQELRegConfig>());
    return settings.GetZepInstruAppID(appId) == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_CANTREAD;
}

DWORD CQELInstru::sendZEPEvents(const std::wstring& appId, const std::wstring& component,
                                const std::wstring& methodName, const std::wstring& timestamp,
                                const StringMap& record)
{
    // A thread already in another apartment keeps it; only a successful
    // initialisation here is undone here.
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CZEPInstru client;
    if (FAILED(client.SendData(appId, component, methodName, timestamp, record))) {
        QEL_LOG(LOG_ERROR, L"Error when sending instrument data to the ZEP cloud");
    }
    if (SUCCEEDED(init)) ::CoUninitialize();
    return ERROR_SUCCESS;
}

std::wstring CQELInstru::GetTimestamp()
{
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return std::to_wstring(ticks.QuadPart / 10000000ULL - kEpochDifferenceSeconds);
}
