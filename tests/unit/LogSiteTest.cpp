// Support engineers find a failure in the log by the public operation that
// reported it: each line names that operation, never a private step the code
// happens to use inside it. A line logged in the function it names is named by
// the log call itself; these are the lines a private step logs under the
// public operation's name.
#include "common/Platform.h"

#include "config/PCReg.h"
#include "datastore/PCCrypt.h"
#include "datastore/PcFile.h"
#include "datastore/QelJsonFormat.h"
#include "instru/WmiWrapper.h"
#include "tests/support/CaptureLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

TEST(LogSiteTest, EachLineNamesThePublicOperationThatLogsIt)
{
    const std::wstring nokey = L"SOFTWARE\\Tarsen\\LogSite\\Missing";
    CPCReg reg;
    CPcCrypt crypt;
    CPcFile file;
    CQelJsonFormat document;
    DWORD dword = 0;
    std::wstring text;
    std::vector<BYTE> bytes(16);
    SharedBuffer out;

    // The operation, the start of one line it logs, and a call that makes it log that line.
    const struct {
        const wchar_t* function;
        std::wstring line;
        std::function<void()> call;
    } cases[] = {
        {L"CPCReg::Read", L"Cant open registry key: " + nokey, [&] { reg.Read(nokey, L"v", dword); }},
        {L"CPCReg::Read", L"Cant get registry value v at key location SOFTWARE", [&] { reg.Read(L"SOFTWARE", L"v", text); }},
        {L"CPCReg::Write", L"Cant write registry value", [&] { reg.Write(L"SOFTWARE", std::wstring(20000, L'n'), dword); }},
        {L"CPcCrypt::EncryptData", L"Encrypt data failed", [&] { crypt.EncryptData(bytes.data(), 16, out, dword); }},
        {L"CPcCrypt::EncryptData", L"Encrypt data failed", [&] { crypt.EncryptInPlace(bytes, 16, dword); }},
        {L"CPcCrypt::DecryptData", L"Decrypt data failed", [&] { crypt.DecryptData(bytes.data(), 16, out, dword); }},
        {L"CPcCrypt::DecryptData", L"Decrypt data failed", [&] { crypt.DecryptInPlace(bytes); }},
        {L"CPcFile::ReadFromFile", L"Error: File not found.", [&] { file.ReadFromFile(L"C:\\nowhere\\file.dat", bytes); }},
        {L"CQelJsonFormat::parseJson", L"Data store section oobe", [&] { document.parseJson(L"{\"oobe\":[{}]}"); }},
        {L"CQelJsonFormat::parseJson", L"Cant convert JSON", [&] { document.parseJson(L"[]"); }},
        {L"CWmiWrapper::GetWmiProperty", L"Wmi object is not", [&] { CWmiWrapper(L"Win32_BIOS", L"x").GetWmiProperty(L"v", text); }},
    };
    for (const auto& c : cases) {
        TestLog().Clear();
        c.call();
        const auto lines = TestLog().Lines();
        const auto found = std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.text.rfind(c.line, 0) == 0; });
        ASSERT_NE(found, lines.end()) << testing::PrintToString(c.line) << " not logged by " << c.function << ": "
                                      << testing::PrintToString(TestLog().Texts());
        EXPECT_EQ(found->function, c.function) << testing::PrintToString(found->text);
    }
}

}  // namespace
