#include "common/Platform.h"

#include "config/QELSettings.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>

namespace {

const std::wstring kQel = L"SOFTWARE\\Tarsen\\QEL";
const std::wstring kCore = kQel + L"\\CORE";
const std::wstring kOem = kQel + L"\\OEM";
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

TEST_F(SettingsTest, EmptyRegistryGivesTheBuiltInDefaults)
{
    using Getter = DWORD (CQELSettings::*)(DWORD&);
    const struct {
        const char* name;
        Getter getter;
        DWORD expected;
    } cases[] = {
        {"SchedulerBootWaitInSec", &CQELSettings::GetSchedulerBootWaitInSec, 5},
        {"SchedulerPostOobeWaitInSec", &CQELSettings::GetSchedulerPostOobeWaitInSec, 5},
        {"FirstProductUpdateWait", &CQELSettings::GetFirstProductUpdateWait, 1200},
        {"ProductUpdateFrequency", &CQELSettings::GetProductUpdateFrequency, 86400},
        {"FirstAlertWait", &CQELSettings::GetFirstAlertWait, 14400},
        {"AlertFrequency", &CQELSettings::GetAlertFrequency, 14400},
        {"FirstAutoDownloadCheckWait", &CQELSettings::GetFirstAutoDownloadCheckWait, 1200},
        {"AutoDownloadCheckFrequency", &CQELSettings::GetAutoDownloadCheckFrequency, 14400},
        {"MaxAutoDownloadAttempts", &CQELSettings::GetMaxAutoDownloadAttempts, 10},
        {"MaxKrsDownloadAttempts", &CQELSettings::GetMaxKrsDownloadAttempts, 20},
        {"FirstKrsDownloadWait", &CQELSettings::GetFirstKrsDownloadWait, 1800},
        {"DownloadQelKrsFrequency", &CQELSettings::GetDownloadQelKrsFrequency, 10800},
        {"UninstallWhenKRSUninstalled", &CQELSettings::GetUninstallWhenKRSUninstalled, 0},
        {"UninstallOnTPSoftwareDetection", &CQELSettings::GetUninstallOnTPSoftwareDetection, 0},
        {"commonbuild", &CQELSettings::GetCommonBuild, 0},
        {"DownloadQelKrs", &CQELSettings::GetDownloadQelKrs, 0},
        {"jeula", &CQELSettings::GetJeula, 0},
        {"oemmode", &CQELSettings::GetOemMode, 0},
    };
    for (const auto& c : cases) {
        DWORD value = 0xDEAD;
        EXPECT_EQ((settings.*c.getter)(value), static_cast<DWORD>(ERROR_CANTREAD)) << c.name;
        EXPECT_EQ(value, c.expected) << c.name;
    }
    std::wstring guid = L"unchanged";
    settings.GetPartnerGuid(guid);
    EXPECT_EQ(guid, L"unchanged");
    std::wstring text = L"x";
    settings.GetSetting(L"anything", text);
    EXPECT_EQ(text, L"") << "the generic string getter defaults to empty";
}

TEST_F(SettingsTest, PartnerOemCoreLayering)
{
    const struct {
        const char* name;
        const wchar_t* affidKey;  // where "Affid" lives (nullptr: nowhere)
        const wchar_t* affid;
        const wchar_t* valueKey;  // where "MaxAutoDownloadAttempts" lives
        DWORD expected;
    } cases[] = {
        {"partner key of the affiliate", L"PARTNER", L"1234", L"PARTNER\\1234", 3},
        {"OEM key", L"PARTNER", L"1234", L"OEM", 3},
        {"core key", L"PARTNER", L"1234", L"CORE", 3},
        {"Affid from the core key", L"CORE", L"1234", L"PARTNER\\1234", 3},
        {"no Affid anywhere: default even with a core value", nullptr, nullptr, L"CORE", 10},
        {"another affiliate's value is not seen", L"PARTNER", L"1234", L"PARTNER\\999", 10},
    };
    for (const auto& c : cases) {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
        if (c.affidKey) testmachine::SetString(kQel + L"\\" + c.affidKey, L"Affid", c.affid);
        testmachine::SetString(kQel + L"\\" + c.valueKey, L"MaxAutoDownloadAttempts", L"3");
        DWORD value = 0;
        settings.GetMaxAutoDownloadAttempts(value);
        EXPECT_EQ(value, c.expected) << c.name;
    }

    // The partner level wins over OEM and core.
    testmachine::DeleteTree(L"SOFTWARE\\Tarsen");
    testmachine::SetString(kPartner, L"Affid", L"7");
    testmachine::SetString(kPartner + L"\\7", L"ZepInstruAppID", L"partner");
    testmachine::SetString(kOem, L"ZepInstruAppID", L"oem");
    testmachine::SetString(kCore, L"ZepInstruAppID", L"core");
    std::wstring id;
    EXPECT_EQ(settings.GetZepInstruAppID(id), 0u);
    EXPECT_EQ(id, L"partner");
    testmachine::DeleteValue(kPartner + L"\\7", L"ZepInstruAppID");
    EXPECT_EQ(settings.GetZepInstruAppID(id), 0u);
    EXPECT_EQ(id, L"oem");
}

TEST_F(SettingsTest, AffiliateZeroReadsTheRootOfTheMachine)
{
    testmachine::SetString(kPartner, L"Affid", L"0");
    testmachine::SetString(L"", L"softwaretag", L"at-root");
    std::wstring tag;
    CQELRegConfig config;
    EXPECT_EQ(config.GetPartnerSetting(L"softwaretag", tag, L""), 0u);
    EXPECT_EQ(tag, L"at-root");
    testmachine::DeleteValue(L"", L"softwaretag");

    testmachine::SetString(kCore, L"resellerid", L"core-reseller");
    std::wstring reseller;
    EXPECT_EQ(config.GetPartnerSetting(L"resellerid", reseller, L""), 0u) << "OEM and core are searched as usual";
    EXPECT_EQ(reseller, L"core-reseller");
}

TEST_F(SettingsTest, NumbersParseLikeWtoi)
{
    testmachine::SetString(kCore, L"Affid", L"1");
    const struct {
        const wchar_t* text;
        DWORD expected;
    } cases[] = {
        {L"1200", 1200}, {L" 42x", 42}, {L"abc", 0}, {L"", 77}, {L"-5", static_cast<DWORD>(-5)}, {L"+9", 9},
    };
    for (const auto& c : cases) {
        testmachine::SetString(kCore, L"AlertFrequency", c.text);
        DWORD value = 0;
        settings.GetNumberSetting(L"AlertFrequency", value, 77);
        EXPECT_EQ(value, c.expected) << testing::PrintToString(std::wstring(c.text));
    }
    // A number stored as REG_DWORD is not a setting: the default applies.
    testmachine::SetDword(kCore, L"AlertFrequency", 99);
    DWORD value = 0;
    EXPECT_EQ(settings.GetAlertFrequency(value), static_cast<DWORD>(ERROR_CANTREAD));
    EXPECT_EQ(value, 14400u);
}

TEST_F(SettingsTest, PathsAndKeyBlob)
{
    testmachine::SetString(kCore, L"DBPath", L"C:\\Data");
    std::wstring path;
    EXPECT_EQ(settings.GetDBPath(path), 0u);
    EXPECT_EQ(path, L"C:\\Data\\qeldata.dat");

    const BYTE blob[] = {8, 2, 0, 0, 0x10, 0x66, 0, 0};
    testmachine::SetBinary(kCore, L"DataStore", blob, sizeof(blob));
    SharedBuffer key;
    EXPECT_EQ(settings.GetDataStore(key), 0u);
    ASSERT_TRUE(key);
    EXPECT_EQ(key[5], 0x66);

    testmachine::SetString(kQel, L"PartnerInstallDir", L"C:\\Partners");
    std::wstring dir = L"unchanged";
    EXPECT_EQ(settings.GetPartnerInstallDirForAffid(dir), static_cast<DWORD>(ERROR_CANTREAD)) << "no affiliate";
    EXPECT_EQ(dir, L"unchanged");
    testmachine::SetString(kPartner, L"Affid", L"55");
    EXPECT_EQ(settings.GetPartnerInstallDirForAffid(dir), 0u);
    EXPECT_EQ(dir, L"C:\\Partners\\55");

    testmachine::SetString(kQel + L"\\APPS\\GCB", L"InstallPath", L"C:\\Program Files\\Tarsen\\QEL");
    std::wstring install;
    EXPECT_EQ(settings.GetAppInstallPath(L"GCB", install), 0u);
    EXPECT_EQ(install, L"C:\\Program Files\\Tarsen\\QEL");
    EXPECT_EQ(settings.GetAppInstallPath(L"", install), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const CapturedLine invalid = TestLog().Find(L"Invalid arguments");
    EXPECT_EQ(invalid.level, 4u);
    EXPECT_EQ(invalid.function, L"CQELRegConfig::GetAppsSetting");
    EXPECT_EQ(invalid.file, L"QELConfig.cpp");
}

TEST_F(SettingsTest, AllPartnerSettingsAndSubKeyFallback)
{
    testmachine::SetString(kPartner, L"Affid", L"12");
    testmachine::SetString(kPartner + L"\\12", L"a", L"1");
    testmachine::SetString(kPartner + L"\\12", L"b", L"2");
    StringMap all;
    EXPECT_EQ(settings.GetAllPartnerSettings(all), 0u);
    EXPECT_EQ(all, (StringMap{{L"a", L"1"}, {L"b", L"2"}}));

    CQELRegConfig config;
    testmachine::SetString(kCore, L"only", L"core-itself");
    std::wstring value;
    EXPECT_EQ(config.GetCoreSetting(L"only", value, L"Sub"), 0u) << "a sub-key read falls back to the key itself";
    EXPECT_EQ(value, L"core-itself");
    testmachine::SetString(kCore + L"\\Sub", L"only", L"from-sub");
    EXPECT_EQ(config.GetCoreSetting(L"only", value, L"Sub"), 0u);
    EXPECT_EQ(value, L"from-sub");
}

TEST_F(SettingsTest, FreeFunctions)
{
    const struct {
        const wchar_t* text;
        bool testMode;
    } modes[] = {{L"1", true}, {L"true", false}, {L"01", false}, {L"0", false}};
    for (const auto& m : modes) {
        testmachine::SetString(kQel, L"testmode", m.text);
        EXPECT_EQ(IsTestMode(), m.testMode) << testing::PrintToString(std::wstring(m.text));
    }
    testmachine::DeleteValue(kQel, L"testmode");
    EXPECT_FALSE(IsTestMode());

    CPCReg reg;
    std::wstring version = L"none";
    EXPECT_FALSE(IsRvnInstalled(reg));
    EXPECT_EQ(GetRvnVersion(version, reg), static_cast<DWORD>(ERROR_FUNCTION_FAILED));
    const std::wstring uninstall = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RVN";
    testmachine::SetString(uninstall, L"DisplayName", L"KRS");
    EXPECT_EQ(GetRvnVersion(version, reg), static_cast<DWORD>(ERROR_FUNCTION_FAILED)) << "no DisplayVersion";
    testmachine::SetString(uninstall, L"DisplayVersion", L"21.3.10");
    EXPECT_EQ(GetRvnVersion(version, reg), 0u);
    EXPECT_EQ(version, L"21.3.10");
    testmachine::DeleteTree(uninstall);

    EXPECT_EQ(IntToString(-42), L"-42");
    EXPECT_EQ(IntToString(2147483647), L"2147483647");
    EXPECT_FALSE(GetSystemLocaleName().empty());

    CKrsSetting krs(std::make_shared<CPCReg>());
    std::wstring installer;
    EXPECT_EQ(krs.GetInstallerPath(installer), static_cast<DWORD>(ERROR_CANTREAD));
    testmachine::SetString(L"SOFTWARE\\Tarsen\\TsInst\\InstallSettings", L"Install Dir", L"C:\\TsInst");
    EXPECT_EQ(krs.GetInstallerPath(installer), 0u);
    EXPECT_EQ(installer, L"C:\\TsInst\\tsinst.exe");
}

}  // namespace
