#include "common/Platform.h"

#include "config/QELSettings.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

#include <iterator>
#include <utility>

namespace {

const std::wstring kQel = L"SOFTWARE\\Tarsen\\QEL";
const std::wstring kCore = kQel + L"\\CORE";
const std::wstring kPartner = kQel + L"\\PARTNER";

class SettingsTest : public testing::Test {
protected:
    void SetUp() override
    {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
        TestLog().Clear();
    }
    void TearDown() override { testmachine::DeleteTree(L"SOFTWARE\\Tarsen"); }

    CQELSettings settings{std::make_shared<CQELRegConfig>()};
};

// The getters the jobs call (the download job's other settings are read with their defaults at the call).
// (The store's path and key are read by every data store test, an application's "InstallPath" by the uninstall
// scenario; no caller asks for a partner's install folder or reads a setting from a sub-key.)
TEST_F(SettingsTest, PartnerThenOemThenCore)
{
    // "MaxAutoDownloadAttempts" is written as "1" at PARTNER\1234, "2" at OEM, "3" at CORE,
    // "4" at another affiliate's key and "5" at the root of the machine, where `levels` says.
    enum { P = 1, O = 2, C = 4, X = 8, R = 16 };
    const struct {
        const char* name;
        const wchar_t *partnerAffid, *coreAffid;  // "Affid" in the partner root and the core key (nullptr: absent)
        int levels;
        DWORD expected;
    } cases[] = {
        {"partner wins", L"1234", nullptr, P | O | C | R, 1},
        {"then OEM", L"1234", nullptr, O | C | X, 2},
        {"Affid from the core key", nullptr, L"1234", P, 1},
        {"the partner root's Affid wins over the core key's", L"1234", L"999", P | X, 1},
        {"no Affid anywhere: default even with a core value", nullptr, nullptr, C, 10},
        {"another affiliate's value is not seen", L"1234", nullptr, X, 10},
        {"affiliate 0 reads the root of the machine", L"0", nullptr, R | O | C, 5},
        {"affiliate 0 then core as usual", L"0", nullptr, C | X, 3},
    };
    const std::wstring keys[] = {kPartner + L"\\1234", kQel + L"\\OEM", kCore, kPartner + L"\\999", L""};
    for (const auto& c : cases) {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
        if (c.partnerAffid) testmachine::SetString(kPartner, L"Affid", c.partnerAffid);
        if (c.coreAffid) testmachine::SetString(kCore, L"Affid", c.coreAffid);
        for (int i = 0; i < 5; ++i) {
            if (!(c.levels & (1 << i))) continue;
            testmachine::SetString(keys[i], L"MaxAutoDownloadAttempts", std::to_wstring(i + 1));
        }
        DWORD value = 0;
        settings.GetMaxAutoDownloadAttempts(value);
        testmachine::DeleteValue(L"", L"MaxAutoDownloadAttempts");
        EXPECT_EQ(value, c.expected) << c.name;
    }
}

TEST_F(SettingsTest, NumbersParseLikeWtoi)
{
    testmachine::SetString(kCore, L"Affid", L"1");
    const std::pair<const wchar_t*, DWORD> cases[] = {
        {L"1200", 1200}, {L" 42x", 42}, {L"abc", 0}, {L"", 77}, {L"-5", static_cast<DWORD>(-5)}, {L"+9", 9}};
    for (const auto& [text, expected] : cases) {
        testmachine::SetString(kCore, L"AlertFrequency", text);
        DWORD value = 0;
        settings.GetNumberSetting(L"AlertFrequency", value, 77);
        EXPECT_EQ(value, expected) << testing::PrintToString(std::wstring(text));
    }
}

}  // namespace
