// The common fields every instrumentation event carries, each filled by one
// field producer at send time: the machine, the installation and the partner
// configuration as they are at that moment.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"

#include <string>

namespace instru_fields {

// Producers, in the order an event runs them. Each sets `key` and `value`.
void KrsVersion(std::wstring& key, std::wstring& value);
void LocaleName(std::wstring& key, std::wstring& value);
void SoftwareDeviceTag(std::wstring& key, std::wstring& value);
void ResellerID(std::wstring& key, std::wstring& value);
void AffID(std::wstring& key, std::wstring& value);
void EventVersion(std::wstring& key, std::wstring& value);
void BiosSerialNumber(std::wstring& key, std::wstring& value);
void PackageInfo(std::wstring& key, std::wstring& value);
void DatabaseContents(std::wstring& key, std::wstring& value);
void PartnerConfiguration(std::wstring& key, std::wstring& value);

// The "PartnerConfiguration" value for the partner settings as read (with the
// read's result): "name:value" items joined by ",", or "None" when the read
// failed, there are 16 or more entries, or a value is longer than 1024
// characters or holds a rejected character sequence.
std::wstring PartnerConfigurationValue(DWORD readResult, const StringMap& settings);

// True when `value` holds something a partner value may not carry into an
// event: one of @ & ; ' % ", a carriage return or line feed (raw, or written
// as backslash-r / backslash-n), the text "0x0f" or "%00".
bool IsRejectedPartnerValue(const std::wstring& value);

}  // namespace instru_fields
