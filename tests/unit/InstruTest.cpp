#include "common/Platform.h"

#include "common/UniqueHandle.h"
#include "config/QELConfig.h"
#include "config/QELSettings.h"
#include "instru/InstruFields.h"
#include "instru/QELInstru.h"
#include "instru/QELInstruAgent.h"
#include "instru/WmiWrapper.h"
#include "instru/ZEPInstru.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <ctime>
#include <functional>

namespace {

constexpr wchar_t kPartner[] = L"SOFTWARE\\Tarsen\\QEL\\PARTNER\\1234";
constexpr wchar_t kRvn[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RVN";

std::string Narrow(const std::wstring& text) { return testing::PrintToString(text); }

// A machine of affiliate 1234 with telemetry switched on and the stand-in
// telemetry client installed.
class InstruTest : public testing::Test {
protected:
    void SetUp() override
    {
        testmachine::DeleteTree(L"SOFTWARE\\Tarsen\\QEL");
        testmachine::DeleteTree(kRvn);
        testmachine::SetString(qelkeys::kPartnerRoot, L"Affid", L"1234");
        testmachine::SetString(qelkeys::kCore, L"ZepInstru", L"1");
        testmachine::SetString(qelkeys::kCore, L"ZepInstruAppID", L"QEL-APP-7");
        testbed::RegisterTelemetryClient();
        testbed::ClearTelemetryKnobs();
        testbed::ClearTelemetryJournal();
        TestLog().Clear();
    }

    // Sends through the product's own path, with COM as a job thread has it (none).
    static DWORD Send(const StringMap& record) { return CQELInstru().SendInstrumentation(record); }
};

TEST_F(InstruTest, RequestTextByteForByte)
{
    // Keys in code-unit order, JSON escaping of quote, backslash and control
    // characters, everything else (slash, non-ASCII) as it is.
    const StringMap record = {
        {L"EventName", L"AutoDownload"},
        {L"EventData", L"say \"hi\" \\ a/b\r\n\t\x01\x1f"},
        {L"EventState", L"Started"},
        {L"Zone", L"\x00FC\x20AC"},
    };
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    const HRESULT hr = CZEPInstru().SendData(L"app-1", L"QEL", L"SendInstrumentation", L"1700000000", record);
    ::CoUninitialize();
    EXPECT_EQ(hr, S_OK);

    const std::wstring expected =
        L"{\"event\":{\"ApplicationID\":\"app-1\",\"EventType\":\"genappevent\",\"timestamp\":\"1700000000\","
        L"\"event_data\":{\"EventData\":\"say \\\"hi\\\" \\\\ a/b\\r\\n\\t\\u0001\\u001F\",\"EventName\":\"AutoDownload\","
        L"\"EventState\":\"Started\",\"Zone\":\"\x00FC\x20AC\",\"component\":\"QEL\",\"methodName\":\"SendInstrumentation\"}}}";
    const auto requests = testbed::TelemetryRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], expected);
    EXPECT_TRUE(TestLog().Lines().empty()) << Narrow(TestLog().Texts()[0]);
}

TEST_F(InstruTest, RecordFieldsNamedLikeTheAddedMembersAreReplaced)
{
    std::wstring text;
    ASSERT_EQ(CZEPInstru::buildRequest(L"a", L"QEL", L"m", L"1", {{L"component", L"x"}, {L"methodName", L"y"}}, text),
              0u);
    EXPECT_EQ(text, L"{\"event\":{\"ApplicationID\":\"a\",\"EventType\":\"genappevent\",\"timestamp\":\"1\","
                    L"\"event_data\":{\"component\":\"QEL\",\"methodName\":\"m\"}}}");
}

TEST_F(InstruTest, MissingRequestPartsAreRefused)
{
    const struct {
        const wchar_t* appId;
        const wchar_t* component;
        const wchar_t* method;
        const wchar_t* timestamp;
    } cases[] = {
        {L"", L"QEL", L"SendInstrumentation", L"1"},
        {L"app", L"", L"SendInstrumentation", L"1"},
        {L"app", L"QEL", L"", L"1"},
        {L"app", L"QEL", L"SendInstrumentation", L""},
    };
    for (const auto& c : cases) {
        TestLog().Clear();
        EXPECT_EQ(CZEPInstru().SendData(c.appId, c.component, c.method, c.timestamp, {{L"EventName", L"X"}}),
                  E_INVALIDARG);
        EXPECT_EQ(TestLog().Texts(), std::vector<std::wstring>{L"Invalid Arguments"});
        EXPECT_EQ(TestLog().Find(L"Invalid Arguments").level, 4u);
    }
    EXPECT_TRUE(testbed::TelemetryRequests().empty());
}

TEST_F(InstruTest, ZepInstruDecidesWhetherAnythingIsSent)
{
    const struct {
        const wchar_t* value;  // nullptr: not configured anywhere
        bool sent;
        std::vector<std::wstring> lines;
    } cases[] = {
        {L"1", true, {}},
        {L"12abc", true, {}},
        {L" 7", true, {}},
        {L"-1", true, {}},
        {L"0", false, {L"ZEP event not required", L"ZEP is not required"}},
        {L"abc", false, {L"ZEP event not required", L"ZEP is not required"}},
        {L"", false, {L"ZEP event not required", L"ZEP is not required"}},
        {nullptr, false, {L"Can't get ZEP value from registry", L"ZEP is not required"}},
    };
    for (const auto& c : cases) {
        testbed::ClearTelemetryJournal();
        if (c.value) {
            testmachine::SetString(qelkeys::kCore, L"ZepInstru", c.value);
        } else {
            testmachine::DeleteValue(qelkeys::kCore, L"ZepInstru");
        }
        TestLog().Clear();
        EXPECT_EQ(Send({{L"EventName", L"AutoDownload"}}), 0u);
        EXPECT_EQ(testbed::TelemetryRequests().size(), c.sent ? 1u : 0u) << Narrow(c.value ? c.value : L"(none)");

        // Only this unit's lines; the registry layers log their own misses.
        std::vector<std::wstring> own;
        for (const auto& line : TestLog().Lines()) {
            if (line.function.rfind(L"CQELInstru::", 0) == 0) own.push_back(line.text);
        }
        EXPECT_EQ(own, c.lines) << Narrow(c.value ? c.value : L"(none)");
    }
    EXPECT_EQ(TestLog().Find(L"ZEP is not required").level, 1u);
    EXPECT_EQ(TestLog().Find(L"Can't get ZEP value from registry").level, 4u);
}

TEST_F(InstruTest, NoApplicationIdMeansNothingIsSent)
{
    testmachine::DeleteValue(qelkeys::kCore, L"ZepInstruAppID");
    EXPECT_EQ(Send({{L"EventName", L"AutoDownload"}}), static_cast<DWORD>(ERROR_CANTREAD));
    EXPECT_EQ(TestLog().Find(L"Cannot get a valid ZEP appID for QEL").level, 4u);
    EXPECT_FALSE(TestLog().Has(L"ZEP is not required"));
    EXPECT_TRUE(testbed::TelemetryRequests().empty());

    // Present but empty: the client is not asked either.
    testmachine::SetString(qelkeys::kCore, L"ZepInstruAppID", L"");
    TestLog().Clear();
    EXPECT_EQ(Send({{L"EventName", L"AutoDownload"}}), 0u);
    EXPECT_TRUE(TestLog().Has(L"Invalid Arguments"));
    EXPECT_TRUE(testbed::TelemetryRequests().empty());
}

TEST_F(InstruTest, EmptyRecordIsRefused)
{
    EXPECT_EQ(Send({}), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TestLog().Find(L"Invalid arguments").level, 4u);
    EXPECT_TRUE(testbed::TelemetryRequests().empty());
}

TEST_F(InstruTest, ClientFailuresAreLoggedNotReturned)
{
    const struct {
        std::function<void()> arrange;
        bool reachedClient;
        const wchar_t* line;
    } cases[] = {
        {[] { testbed::UnregisterTelemetryClient(); }, false, L"Error when loading ZEP client dll"},
        {[] { testbed::SetTelemetryKnob(L"CreateResult", static_cast<DWORD>(E_ACCESSDENIED)); }, false,
         L"Error when loading ZEP client dll"},
        {[] { testbed::SetTelemetryKnob(L"ReportResult", static_cast<DWORD>(E_FAIL)); }, true,
         L"Error when calling ZEP ReportEvent API"},
    };
    for (const auto& c : cases) {
        testbed::RegisterTelemetryClient();
        testbed::ClearTelemetryKnobs();
        testbed::ClearTelemetryJournal();
        c.arrange();
        TestLog().Clear();
        EXPECT_EQ(Send({{L"EventName", L"AutoDownload"}}), 0u);
        EXPECT_EQ(TestLog().Find(c.line).level, 4u) << Narrow(c.line);
        EXPECT_EQ(TestLog().Find(c.line).function, L"CZEPInstru::SendData");
        EXPECT_EQ(TestLog().Find(L"Error when sending instrument data to the ZEP cloud").level, 4u);
        EXPECT_EQ(testbed::TelemetryRequests().size(), c.reachedClient ? 1u : 0u);
    }
}

TEST_F(InstruTest, StandInClientRegistersItselfLikeItsInstaller)
{
    testbed::UnregisterTelemetryClient();
    ScopedModule client(::LoadLibraryW(testbed::TelemetryClientPath().c_str()));
    ASSERT_TRUE(client);
    using SelfRegistration = HRESULT(WINAPI*)();
    const auto call = [&](const char* name) {
        return reinterpret_cast<SelfRegistration>(reinterpret_cast<void*>(::GetProcAddress(client.Get(), name)))();
    };
    ASSERT_EQ(call("DllRegisterServer"), S_OK);
    const std::wstring server = L"SOFTWARE\\Classes\\CLSID\\{B62A9F7D-4F97-4740-9EEE-3554F2AD2E4B}\\InprocServer32";
    std::wstring path;
    std::wstring threading;
    EXPECT_TRUE(testmachine::ReadString(server, L"", path));
    EXPECT_EQ(::lstrcmpiW(path.c_str(), testbed::TelemetryClientPath().c_str()), 0);
    EXPECT_TRUE(testmachine::ReadString(server, L"ThreadingModel", threading));
    EXPECT_EQ(threading, L"Both");
    EXPECT_EQ(Send({{L"EventName", L"AutoDownload"}}), 0u);
    EXPECT_EQ(testbed::TelemetryRequests().size(), 1u);

    ASSERT_EQ(call("DllUnregisterServer"), S_OK);
    EXPECT_FALSE(testmachine::KeyExists(server));
}

TEST_F(InstruTest, TimestampIsSecondsSince1970)
{
    const long long before = static_cast<long long>(time(nullptr));
    const std::wstring stamp = CQELInstru::GetTimestamp();
    const long long after = static_cast<long long>(time(nullptr));
    ASSERT_FALSE(stamp.empty());
    EXPECT_EQ(stamp.find_first_not_of(L"0123456789"), std::wstring::npos);
    EXPECT_GE(std::stoll(stamp), before);
    EXPECT_LE(std::stoll(stamp), after);
}

// ---- The agent: job fields, producers, COM around them.

class CapturingAgent : public CQELInstruAgent {
public:
    using CQELInstruAgent::CQELInstruAgent;
    std::vector<StringMap> sent;
    DWORD result = 0;

protected:
    DWORD sendInstrumentation(const StringMap& record) override
    {
        sent.push_back(record);
        return result;
    }
};

APTTYPE Apartment()
{
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    return SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) ? type : APTTYPE_CURRENT;  // CURRENT: none
}

TEST_F(InstruTest, ProducersRunAtSendTimeInTheirOrder)
{
    CapturingAgent agent(L"AutoDownload");
    agent.SetField(L"EventState", L"Started");
    agent.SetField(L"EventState", L"Failure");  // setting again replaces
    agent.SetField(L"KrsVersion", L"from the job");
    std::wstring late = L"at add time";
    std::vector<APTTYPE> apartments;
    agent.AddFieldProducer([&](std::wstring& k, std::wstring& v) {
        k = L"Late";
        v = late;
        apartments.push_back(Apartment());
    });
    agent.AddFieldProducer([](std::wstring& k, std::wstring& v) { k = L"Same", v = L"first"; });
    agent.AddFieldProducer([](std::wstring& k, std::wstring& v) { k = L"Same", v = L"second"; });
    agent.AddFieldProducer([](std::wstring& k, std::wstring& v) { k = L"KrsVersion", v = L"produced"; });
    agent.AddFieldProducer([](std::wstring&, std::wstring& v) { v = L"no key: ignored"; });
    late = L"at send time";

    agent.SendEvent();
    ASSERT_EQ(agent.sent.size(), 1u);
    const StringMap expected = {
        {L"EventName", L"AutoDownload"}, {L"EventState", L"Failure"}, {L"KrsVersion", L"produced"},
        {L"Late", L"at send time"},      {L"Same", L"second"},
    };
    EXPECT_EQ(agent.sent[0], expected);
    EXPECT_EQ(apartments, std::vector<APTTYPE>{APTTYPE_MTA}) << "producers run with COM (multithreaded)";
    EXPECT_EQ(Apartment(), APTTYPE_CURRENT) << "and COM is shut down again afterwards";
    EXPECT_TRUE(TestLog().Lines().empty());
}

TEST_F(InstruTest, AnApartmentTheThreadAlreadyHasIsKept)
{
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CapturingAgent agent(L"KrsDownload");
    APTTYPE during = APTTYPE_CURRENT;
    agent.AddFieldProducer([&](std::wstring& k, std::wstring& v) {
        k = L"A", v = L"1";
        during = Apartment();
    });
    agent.SendEvent();
    EXPECT_EQ(during, APTTYPE_MAINSTA);
    EXPECT_EQ(Apartment(), APTTYPE_MAINSTA);
    ::CoUninitialize();
    EXPECT_EQ(agent.sent.size(), 1u);
}

TEST_F(InstruTest, AFailedSendIsLogged)
{
    CapturingAgent agent(L"AutoDownload");
    agent.result = ERROR_CANTREAD;
    agent.SendEvent();
    EXPECT_EQ(TestLog().Find(L"Error when sending instrument data").level, 4u);
    EXPECT_EQ(TestLog().Find(L"Error when sending instrument data").function, L"CQELInstruAgent::SendEvent");

    // The real path: no application id on the machine.
    testmachine::DeleteValue(qelkeys::kCore, L"ZepInstruAppID");
    TestLog().Clear();
    CQELInstruAgent(L"AutoDownload").SendEvent();
    EXPECT_TRUE(TestLog().Has(L"Cannot get a valid ZEP appID for QEL"));
    EXPECT_TRUE(TestLog().Has(L"Error when sending instrument data"));
}

// ---- Partner configuration.

StringMap Entries(size_t count)
{
    StringMap map;
    for (size_t i = 0; i < count; ++i) map[L"k" + std::to_wstring(100 + i)] = L"v" + std::to_wstring(i);
    return map;
}

TEST(PartnerConfigurationTest, Rules)
{
    std::wstring fifteen;
    for (size_t i = 0; i < 15; ++i) fifteen += (i ? L"," : L"") + (L"k" + std::to_wstring(100 + i)) + L":v" + std::to_wstring(i);
    const struct {
        const char* what;
        DWORD readResult;
        StringMap settings;
        std::wstring expected;
    } cases[] = {
        {"fifteen clean entries", 0, Entries(15), fifteen},
        {"sixteen entries", 0, Entries(16), L"None"},
        {"read failed", ERROR_CANTREAD, Entries(2), L"None"},
        {"no entries", 0, {}, L""},
        {"map order", 0, {{L"b", L"2"}, {L"B", L"1"}, {L"a", L""}}, L"B:1,a:,b:2"},
        {"1024 characters", 0, {{L"a", std::wstring(1024, L'x')}}, L"a:" + std::wstring(1024, L'x')},
        {"1025 characters", 0, {{L"a", std::wstring(1025, L'x')}, {L"b", L"1"}}, L"None"},
        {"semicolon", 0, {{L"a", L"1"}, {L"b", L"x;y"}}, L"None"},
        {"%00", 0, {{L"a", L"x%00"}}, L"None"},
        {"percent", 0, {{L"a", L"50%"}}, L"None"},
        {"at", 0, {{L"a", L"me@host"}}, L"None"},
        {"ampersand", 0, {{L"a", L"x&y"}}, L"None"},
        {"apostrophe", 0, {{L"a", L"it's"}}, L"None"},
        {"double quote", 0, {{L"a", L"\"q\""}}, L"None"},
        {"carriage return", 0, {{L"a", L"x\ry"}}, L"None"},
        {"line feed", 0, {{L"a", L"x\ny"}}, L"None"},
        {"written \\r", 0, {{L"a", L"x\\ry"}}, L"None"},
        {"written \\n", 0, {{L"a", L"x\\n"}}, L"None"},
        {"0x0f", 0, {{L"a", L"0x0f"}}, L"None"},
        {"0x0F is another text", 0, {{L"a", L"0x0F"}}, L"a:0x0F"},
        {"backslash alone", 0, {{L"a", L"C:\\x"}}, L"a:C:\\x"},
        {"names are not checked", 0, {{L"a;b", L"1"}}, L"a;b:1"},
        {"punctuation that is allowed", 0, {{L"a", L"x-y_z.w/v:u,t=s (r) #1 !?+*"}},
         L"a:x-y_z.w/v:u,t=s (r) #1 !?+*"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(instru_fields::PartnerConfigurationValue(c.readResult, c.settings), c.expected) << c.what;
    }
}

// ---- The common fields and the whole request of an event.

class CommonFieldsTest : public InstruTest {
protected:
    void SetUp() override
    {
        InstruTest::SetUp();
        testmachine::SetString(kRvn, L"DisplayName", L"KRS Security");
        testmachine::SetString(kRvn, L"DisplayVersion", L"21.3.10.5");
        testmachine::SetString(kPartner, L"channel", L"retail");
        testmachine::SetString(kPartner, L"region", L"EU");
        testmachine::SetString(qelkeys::kOem, L"softwaretag", L"TAG-1");
        testmachine::SetString(qelkeys::kCore, L"resellerid", L"R-77");
        datastorekit::Provision();
        datastorekit::WriteStoreText(kStore);
    }

    // Package records out of id order, and a value holding a double quote.
    static constexpr wchar_t kStore[] =
        L"{ \"oobe\":{\"oobestate\":\"1\"},\"Packages\":[{\"PkgID\":\"PKG-B\",\"AutoDownLoadFlag\":\"1\"},"
        L"{\"PkgID\":\"PKG-A\"}],\"ScheduleTask\":[],\"eula\":{},"
        L"\"Entitlement\":{\"krsdownloadcount\":\"2\",\"note\":\"say \\\"x\\\"\"} }";
    // What the event carries: the store's text in its written form, every double quote now a single one.
    static constexpr wchar_t kStoreInEvent[] =
        L"{ 'oobe':{'oobestate':'1'},'Packages':[{'AutoDownLoadFlag':'1','PkgID':'PKG-B'},{'PkgID':'PKG-A'}],"
        L"'ScheduleTask':[],'eula':{},'Entitlement':{'krsdownloadcount':'2','note':'say \\'x\\''} }";

    static std::wstring Produce(void (*producer)(std::wstring&, std::wstring&), const wchar_t* expectedKey)
    {
        std::wstring key;
        std::wstring value;
        producer(key, value);
        EXPECT_EQ(key, expectedKey);
        return value;
    }
};

TEST_F(CommonFieldsTest, EachProducerReadsItsSource)
{
    using namespace instru_fields;
    EXPECT_EQ(Produce(KrsVersion, L"KrsVersion"), L"21.3.10.5");
    EXPECT_EQ(Produce(LocaleName, L"LocaleName"), GetSystemLocaleName());
    EXPECT_FALSE(GetSystemLocaleName().empty());
    EXPECT_EQ(Produce(SoftwareDeviceTag, L"SoftwareDeviceTag"), L"TAG-1");
    EXPECT_EQ(Produce(ResellerID, L"ResellerID"), L"R-77");
    EXPECT_EQ(Produce(AffID, L"AffID"), L"1234");
    EXPECT_EQ(Produce(EventVersion, L"EventVersion"), L"1.0");
    EXPECT_EQ(Produce(PartnerConfiguration, L"PartnerConfiguration"), L"channel:retail,region:EU");
    EXPECT_EQ(Produce(PackageInfo, L"PackageInfo"), L"PKG-B;PKG-A");
    EXPECT_EQ(Produce(DatabaseContents, L"DatabaseContents"), kStoreInEvent);

    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    const std::wstring serial = GetBiosSerialNumber();
    EXPECT_EQ(Produce(BiosSerialNumber, L"BiosSerialNumber"), serial);
    ::CoUninitialize();

    // A partner value that may not travel turns the whole field into "None".
    testmachine::SetString(kPartner, L"note", L"a;b");
    EXPECT_EQ(Produce(PartnerConfiguration, L"PartnerConfiguration"), L"None");
}

TEST_F(CommonFieldsTest, MissingSourcesGiveTheirFallbacks)
{
    using namespace instru_fields;
    testmachine::DeleteValue(kRvn, L"DisplayVersion");
    EXPECT_EQ(Produce(KrsVersion, L"KrsVersion"), L"None");
    testmachine::SetString(kRvn, L"DisplayVersion", L"");
    EXPECT_EQ(Produce(KrsVersion, L"KrsVersion"), L"None");
    testmachine::DeleteTree(kRvn);
    EXPECT_EQ(Produce(KrsVersion, L"KrsVersion"), L"None");

    testmachine::DeleteTree(kPartner);
    EXPECT_EQ(Produce(PartnerConfiguration, L"PartnerConfiguration"), L"None");

    // A store with one package; then no store file at all: the empty document.
    datastorekit::WriteStoreText(L"{ \"Packages\":[{\"PkgID\":\"ONLY\"}] }");
    EXPECT_EQ(Produce(PackageInfo, L"PackageInfo"), L"ONLY");
    ::DeleteFileW(datastorekit::StoreFile().c_str());
    EXPECT_EQ(Produce(PackageInfo, L"PackageInfo"), L"");
    std::wstring empty = datastorekit::EmptyDocument();
    std::replace(empty.begin(), empty.end(), L'"', L'\'');
    EXPECT_EQ(Produce(DatabaseContents, L"DatabaseContents"), empty);

    testmachine::DeleteTree(L"SOFTWARE\\Tarsen\\QEL");  // no affiliate id at all
    EXPECT_EQ(Produce(AffID, L"AffID"), L"");
    EXPECT_EQ(Produce(SoftwareDeviceTag, L"SoftwareDeviceTag"), L"");
    EXPECT_EQ(Produce(ResellerID, L"ResellerID"), L"");
    EXPECT_EQ(Produce(PartnerConfiguration, L"PartnerConfiguration"), L"None");
}

// The one escape the stored text needs inside the request: its backslashes.
std::wstring JsonBackslashes(std::wstring text)
{
    for (size_t at = 0; (at = text.find(L'\\', at)) != std::wstring::npos; at += 2) text.insert(at, 1, L'\\');
    return text;
}

TEST_F(CommonFieldsTest, WholeRequestOfAnEventByteForByte)
{
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    const std::wstring serial = GetBiosSerialNumber();
    ::CoUninitialize();

    const long long before = std::stoll(CQELInstru::GetTimestamp());
    CQELInstruAgent agent(L"AutoDownload");
    agent.AddCommonFieldProducers();
    agent.SendEvent();
    const long long after = std::stoll(CQELInstru::GetTimestamp());

    const auto requests = testbed::TelemetryRequests();
    ASSERT_EQ(requests.size(), 1u);
    const std::wstring& request = requests[0];
    const std::wstring marker = L"\"timestamp\":\"";
    const size_t at = request.find(marker);
    ASSERT_NE(at, std::wstring::npos);
    const std::wstring stamp = request.substr(at + marker.size(), request.find(L'"', at + marker.size()) - at - marker.size());
    EXPECT_GE(std::stoll(stamp), before);
    EXPECT_LE(std::stoll(stamp), after);

    const std::wstring expected =
        L"{\"event\":{\"ApplicationID\":\"QEL-APP-7\",\"EventType\":\"genappevent\",\"timestamp\":\"" + stamp +
        L"\",\"event_data\":{"
        L"\"AffID\":\"1234\","
        L"\"BiosSerialNumber\":\"" + serial + L"\","
        L"\"DatabaseContents\":\"" + JsonBackslashes(kStoreInEvent) + L"\","
        L"\"EventName\":\"AutoDownload\","
        L"\"EventVersion\":\"1.0\","
        L"\"KrsVersion\":\"21.3.10.5\","
        L"\"LocaleName\":\"" + GetSystemLocaleName() + L"\","
        L"\"PackageInfo\":\"PKG-B;PKG-A\","
        L"\"PartnerConfiguration\":\"channel:retail,region:EU\","
        L"\"ResellerID\":\"R-77\","
        L"\"SoftwareDeviceTag\":\"TAG-1\","
        L"\"component\":\"QEL\","
        L"\"methodName\":\"SendInstrumentation\"}}}";
    EXPECT_EQ(request, expected);
}

}  // namespace
