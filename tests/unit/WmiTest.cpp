#include "common/Platform.h"

#include "instru/WmiWrapper.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/Machine.h"

#include <gtest/gtest.h>
#include <objbase.h>


namespace {

constexpr wchar_t kCimV2[] = L"\\\\.\\root\\CIMV2";

// The caller of the WMI classes has COM (multithreaded) on its thread.
class WmiTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        TestLog().Clear();
    }
    void TearDown() override { ::CoUninitialize(); }
};

// (The program reads only text; the number and flag reads have no caller.)
TEST_F(WmiTest, AFailedReadLeavesTheOutputAlone)
{
    CBiosInfo bios;
    std::wstring text = L"kept";
    for (const std::wstring name : {L"NoSuchProperty", L"SMBIOSMajorVersion"}) {  // missing; not text
        TestLog().Clear();
        EXPECT_FALSE(bios.GetWmiProperty(name, text));
        EXPECT_TRUE(TestLog().Has(L"Failed to get WMI property " + name)) << testing::PrintToString(TestLog().Texts());
    }
    EXPECT_EQ(text, L"kept");
}

TEST_F(WmiTest, WithoutAConnectionOrAnInstanceNothingIsRead)
{
    std::wstring text = L"kept";
    CWmiWrapper notStarted(L"Win32_BIOS", kCimV2);
    EXPECT_FALSE(notStarted.IsInitialized() || notStarted.GetWmiProperty(L"SerialNumber", text));
    EXPECT_TRUE(TestLog().Has(L"Object is not initialized.") && TestLog().Has(L"Wmi object is not initialized."));

    // A namespace that does not exist: no connection; the line carries the last error the failure left.
    CWmiWrapper nowhere(L"Win32_BIOS", L"\\\\.\\root\\NoSuchNamespace");
    EXPECT_FALSE(nowhere.InitializeWMI());
    const DWORD error = ::GetLastError();
    EXPECT_FALSE(nowhere.IsInitialized() || nowhere.GetWmiProperty(L"SerialNumber", text));
    const std::wstring failed = L"Failed to create CWMI_Data object, error:" + std::to_wstring(static_cast<int>(error));
    EXPECT_EQ(TestLog().Find(failed).level, 4u) << testing::PrintToString(TestLog().Texts());

    // A class without instances: the query runs but yields no object.
    CWmiWrapper none(L"Win32_TapeDrive", kCimV2);
    EXPECT_TRUE(none.InitializeWMI() && none.IsInitialized());
    EXPECT_FALSE(none.GetWmiProperty(L"Name", text));
    EXPECT_EQ(TestLog().Find(L"CWMI_Class object is invalid, cannot contnue").level, 4u);
    EXPECT_EQ(text, L"kept");
}

}  // namespace
