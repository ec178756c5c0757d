#include "common/Platform.h"

#include "instru/InstruFields.h"

#include "common/UnsafeText.h"
#include "config/PCReg.h"
#include "config/QELConfig.h"
#include "config/QELSettings.h"
#include "datastore/QelPersistenceData.h"
#include "instru/WmiWrapper.h"

#include <algorithm>
#include <memory>

namespace instru_fields {
namespace {

constexpr wchar_t kNone[] = L"None";
constexpr size_t kMaxPartnerEntries = 16;       // this many or more: "None"
constexpr size_t kMaxPartnerValueChars = 1024;  // a longer value: "None"

}  // namespace

void KrsVersion(std::wstring& key, std::wstring& value)
{
    key = L"KrsVersion";
    CPCReg reg;
    std::wstring version;
    GetRvnVersion(version, reg);
    value = version.empty() ? kNone : version;
}

void LocaleName(std::wstring& key, std::wstring& value)
{
    key = L"LocaleName";
    value = GetSystemLocaleName();
}

void SoftwareDeviceTag(std::wstring& key, std::wstring& value)
{
    key = L"SoftwareDeviceTag";
    CQELRegConfig config;
    config.GetPartnerSetting(L"softwaretag", value, std::wstring());
}

void ResellerID(std::wstring& key, std::wstring& value)
{
    key = L"ResellerID";
    CQELRegConfig config;
    config.GetPartnerSetting(L"resellerid", value, std::wstring());
}

void AffID(std::wstring& key, std::wstring& value)
{
    key = L"AffID";
    CQELSettings settings(std::make_shared<CQELRegConfig>());
    settings.GetAffid(value);
}

void EventVersion(std::wstring& key, std::wstring& value)
{
    key = L"EventVersion";
    value = L"1.0";
}

void BiosSerialNumber(std::wstring& key, std::wstring& value)
{
    key = L"BiosSerialNumber";
    value = GetBiosSerialNumber();
}

void PackageInfo(std::wstring& key, std::wstring& value)
{
    key = L"PackageInfo";
    CQelPersistenceData store;
    StringList ids;
    store.GetPkgIDs(ids);  // none, or no store: an empty list
    value.clear();
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) value += L";";
        value += ids[i];
    }
}

void DatabaseContents(std::wstring& key, std::wstring& value)
{
    key = L"DatabaseContents";
    CQelPersistenceData store;
    std::wstring text;
    store.GetJsonData(text);  // no store: empty
    // The text travels inside a JSON string of the event: single quotes keep it readable there.
    std::replace(text.begin(), text.end(), L'"', L'\'');
    value = text;
}

void PartnerConfiguration(std::wstring& key, std::wstring& value)
{
    key = L"PartnerConfiguration";
    CQELSettings settings(std::make_shared<CQELRegConfig>());
    StringMap partner;
    const DWORD rc = settings.GetAllPartnerSettings(partner);
    value = PartnerConfigurationValue(rc, partner);
}

std::wstring PartnerConfigurationValue(DWORD readResult, const StringMap& settings)
{
    if (readResult != ERROR_SUCCESS || settings.size() >= kMaxPartnerEntries) return kNone;
    std::wstring joined;
    for (const auto& [name, value] : settings) {
        if (value.size() > kMaxPartnerValueChars || IsRejectedPartnerValue(value)) return kNone;
        if (!joined.empty()) joined += L",";
        joined += name + L":" + value;
    }
    return joined;
}

bool IsRejectedPartnerValue(const std::wstring& value) { return HasUnsafeSequence(value); }

}  // namespace instru_fields
