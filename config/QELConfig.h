// The framework's registry layout under HKLM "SOFTWARE\Tarsen\QEL" and its
// layered look-up: a setting may be overridden per partner (affiliate), then
// per OEM, and falls back to the core key.
#pragma once

#include "common/Platform.h"
#include "common/QelTypes.h"
#include "config/PCReg.h"

#include <string>

namespace qelkeys {
constexpr wchar_t kRoot[] = L"SOFTWARE\\Tarsen\\QEL";
constexpr wchar_t kCore[] = L"SOFTWARE\\Tarsen\\QEL\\CORE";
constexpr wchar_t kOem[] = L"SOFTWARE\\Tarsen\\QEL\\OEM";
constexpr wchar_t kApps[] = L"SOFTWARE\\Tarsen\\QEL\\APPS";
constexpr wchar_t kPartnerRoot[] = L"SOFTWARE\\Tarsen\\QEL\\PARTNER";
}  // namespace qelkeys

class CQELRegConfig {
public:
    CQELRegConfig() = default;
    virtual ~CQELRegConfig() = default;

    // Partner key of the affiliate (the root HKLM itself for affiliate "0"),
    // then the OEM key, then the core key. 1012 without an affiliate id.
    virtual DWORD GetPartnerSetting(const std::wstring& name, std::wstring& out, const std::wstring& subKey);
    virtual DWORD GetAppsSetting(const std::wstring& application, const std::wstring& name, std::wstring& out,
                                 const std::wstring& subKey);
    virtual DWORD GetCoreSetting(const std::wstring& name, SharedBuffer& out, const std::wstring& subKey);
    virtual DWORD GetCoreSetting(const std::wstring& name, std::wstring& out, const std::wstring& subKey);
    virtual DWORD GetRootSetting(const std::wstring& name, std::wstring& out, const std::wstring& subKey);
    // "Affid" from the partner root key, else from the core key.
    virtual DWORD GetAffid(std::wstring& out);
    virtual DWORD GetAllPartnerSettings(StringMap& out, const std::wstring& subKey);
    virtual DWORD GetPartnerKeyPath(const std::wstring& affid, std::wstring& out, const std::wstring& subKey);
    virtual DWORD GetPartnerRootKeyPath(std::wstring& out);
    virtual DWORD GetRootKeyPath(const std::wstring& subKey, std::wstring& out);
    virtual DWORD GetCoreKeyPath(const std::wstring& subKey, std::wstring& out);
    virtual DWORD GetOemKeyPath(const std::wstring& subKey, std::wstring& out);
    virtual DWORD GetAppsKeyPath(const std::wstring& application, const std::wstring& subKey, std::wstring& out);
    virtual DWORD GetOemSetting(const std::wstring& name, const std::wstring& subKey, std::wstring& out);
    virtual DWORD ReadRootValue(const std::wstring& name, const std::wstring& subKey, std::wstring& out);
    virtual DWORD ReadCoreBinaryValue(const std::wstring& name, const std::wstring& subKey, SharedBuffer& out);
    virtual DWORD ReadCoreValue(const std::wstring& name, const std::wstring& subKey, std::wstring& out);

    CPCReg& Registry() { return m_reg; }

private:
    CPCReg m_reg;
};
