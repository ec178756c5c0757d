// Verified loading of the trust-validation library (the tsguard.dll stand-in
// and its variants: unsigned, another publisher, expired with and without a
// time stamp) and how the program asks it.
#include "common/Platform.h"

#include "common/LibraryLoader.h"
#include "common/UniqueHandle.h"
#include "tests/support/DebugOutput.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"
#include "trust/NotComDll.h"
#include "trust/TrustEnvironment.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kNotFound[] = L"NotComDllGetInterface: DLL not found in install location, looking in current directory";

// HKLM\Software\Tarsen\HostFrame in the 32-bit view, where the platform keeps it.
void SetHostFrame(const wchar_t* name, const std::wstring& value)
{
    ScopedRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tarsen\\HostFrame", 0, nullptr, 0,
                                KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

class NotComDllTest : public testing::Test {
protected:
    void SetUp() override
    {
        testbed::ClearTsGuardKnobs();
        testbed::ClearTsGuardJournal();
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tarsen\\HostFrame", KEY_WOW64_32KEY, 0);
    }
    // An install folder of its own holding `variant` (a build of the stand-in,
    // null for none) under the library's name; with its trailing backslash.
    static std::wstring InstallFolder(const std::wstring& name, const wchar_t* variant)
    {
        const std::wstring folder = L"C:\\hostframe\\" + name + L"\\";
        testmachine::CreateFolder(folder);
        if (variant) ::CopyFileW((testmachine::BinDir() + L"\\" + variant).c_str(), (folder + L"tsguard.dll").c_str(), FALSE);
        SetHostFrame(L"szInstallDir32", folder.substr(0, folder.size() - 1));
        return folder;
    }
    DebugOutputCapture capture;
    std::vector<std::wstring>& debugOutput = capture.lines;
    // What the library's signer is judged with.
    CTrustEnvironment trust;
};

TEST_F(NotComDllTest, LoadsOnlyALibraryWhoseSignatureHolds)
{
    wchar_t program[MAX_PATH];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring beside = ProgramFolder() + L"tsguard.dll";
    const struct {
        const wchar_t* folder;
        const wchar_t* variant;  // in the install folder
        DWORD result;
        bool besideProgram;  // loaded from the program's folder instead
    } kCases[] = {
        {L"signed", L"tsguard.dll", 0, false},
        // WinVerifyTrust lets an expired certificate through (CERT_E_EXPIRED);
        // the signer checks only with a verified time stamp inside its validity.
        {L"expired-ts", L"tsguard-expired-ts.dll", 0, false},
        {L"expired", L"tsguard-expired.dll", 0x800B0004, false},  // TRUST_E_SUBJECT_NOT_TRUSTED
        {L"foreign", L"tsguard-foreign.dll", 0x800B0004, false},  // a publisher that is not accepted
        {L"empty", nullptr, 0, true},
        {L"unsigned", L"tsguard-unsigned.dll", 0x800B0100, false},  // TRUST_E_NOSIGNATURE, and no second look
        {L"tampered", L"tsguard.dll", 0x80096010, false},  // a byte changed: TRUST_E_BAD_DIGEST
    };
    for (const auto& c : kCases) {
        debugOutput.clear();
        const std::wstring folder = InstallFolder(c.folder, c.variant);
        const std::wstring path = c.besideProgram ? beside : folder + L"tsguard.dll";
        if (c.result == 0x80096010) {
            std::vector<BYTE> bytes = testmachine::ReadBytes(path);
            bytes[bytes.size() / 3] ^= 0xFF;
            testmachine::WriteBytes(path, bytes.data(), bytes.size());
        }
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(NotComDllGetInterface(trust.PolicyCache(), L"tsguard.dll", "GrdValidationControl", &object), c.result)
            << c.folder;
        EXPECT_EQ(object != nullptr, c.result == 0) << c.folder;
        EXPECT_EQ(::GetModuleHandleW(path.c_str()) != nullptr, c.result == 0) << c.folder << ": the module stays pinned";
        std::vector<std::wstring> expected;
        if (c.besideProgram) expected.push_back(kNotFound);
        if (c.result != 0) {
            wchar_t code[9];
            std::swprintf(code, 9, L"%08lx", static_cast<unsigned long>(c.result));
            expected.push_back(L"NotComDllGetInterface: " + std::wstring(program) + L" loading " + path +
                               L", WinVerifyTrust failed with " + code + L"\n");
        }
        EXPECT_EQ(debugOutput, expected) << c.folder;
        if (object) {  // the library stays loaded; its interface answers
            DWORD words[2] = {7, 7};
            static_cast<IGrdValidationControl*>(object)->ValidateFile(L"C:\\x.exe", 4, words);
            EXPECT_EQ(words[0] + words[1], 0u);
        }
    }
    // A full path is used as it is: no second look beside the program, only the refusal.
    debugOutput.clear();
    void* object = nullptr;
    EXPECT_NE(NotComDllGetInterface(trust.PolicyCache(), L"C:\\hostframe\\empty\\tsguard.dll", "GrdValidationControl",
                                    &object),
              0u);
    EXPECT_TRUE(debugOutput.size() == 1 && debugOutput[0].find(L"WinVerifyTrust failed") != std::wstring::npos);

    // The library's own answer is passed on.
    InstallFolder(L"signed", L"tsguard.dll");
    testbed::SetTsGuardKnob(L"GetInterfaceResult", 50);
    EXPECT_EQ(NotComDllGetInterface(trust.PolicyCache(), L"tsguard.dll", "GrdValidationControl", &object), 50u);
    EXPECT_EQ(object, nullptr);
}

TEST_F(NotComDllTest, PlatformVersionDecidesHowTheLibraryIsAskedAndReadsItsAnswer)
{
    InstallFolder(L"signed", L"tsguard.dll");
    const struct {
        const wchar_t* version;
        DWORD platformVersion;
        DWORD flags;
    } kVersions[] = {{L"15.4", 1504, 4}, {L"15.5", 1505, 512}, {L"16.0", 1504, 4}, {L"15.12", 1512, 512},
                     {L"15", 1504, 4}};
    for (const auto& v : kVersions) {
        SetHostFrame(L"host_frame_version", v.version);
        testbed::ClearTsGuardJournal();
        const CTrustValidationContext context = CreateTrustValidationContext(trust.PolicyCache());
        EXPECT_EQ(context.platformVersion, v.platformVersion) << v.version;
        EXPECT_FALSE(IsVouchedByValidationLibrary(context, L"C:\\companion.exe"));
        EXPECT_EQ(testbed::TsGuardCalls().back(), "validate flags=" + std::to_string(v.flags) + " words=0,0 C:\\companion.exe")
            << v.version;
    }

    // Which answer words vouch for a file, below 1505 and from 1505 on.
    const struct {
        DWORD platformVersion, word0, word1;
        bool vouched;
    } kAnswers[] = {
        {1504, 0x2, 0x1, true},  {1504, 0x2, 0x8, false}, {1504, 0x3, 0xF, true},  {1504, 0x1, 0x1, false},
        {1505, 0x2, 0x8, true},  {1505, 0x2, 0x1, false}, {1505, 0x0, 0x8, false}, {1512, 0x6, 0x9, true},
    };
    CTrustValidationContext context = CreateTrustValidationContext(trust.PolicyCache());
    ASSERT_NE(context.validation, nullptr);
    for (const auto& a : kAnswers) {
        testbed::SetTsGuardKnob(L"Word0", a.word0);
        testbed::SetTsGuardKnob(L"Word1", a.word1);
        context.platformVersion = a.platformVersion;
        EXPECT_EQ(IsVouchedByValidationLibrary(context, L"C:\\companion.exe"), a.vouched)
            << a.platformVersion << " " << a.word0 << " " << a.word1;
    }
}

}  // namespace
