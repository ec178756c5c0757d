#include "common/Platform.h"

#include "config/QELConfig.h"
#include "config/QELSettings.h"
#include "instru/InstruFields.h"
#include "instru/QELInstru.h"
#include "instru/QELInstruAgent.h"
#include "instru/WmiWrapper.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"
#include "tests/support/Machine.h"
#include "tests/support/Testbed.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <ctime>
#include <regex>

namespace {

constexpr wchar_t kPartner[] = L"SOFTWARE\\Tarsen\\QEL\\PARTNER\\1234";
constexpr wchar_t kRvn[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RVN";
const StringMap kEvent = {{L"EventName", L"AutoDownload"}};

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
    static DWORD Send(const StringMap& record = kEvent) { return CQELInstru().SendInstrumentation(record); }
};

// What reaches the client, and what this unit and the client wrapper log
// ("level: text"), for each state of the switch and of the client. Failures
// are logged, never returned; only a missing application id is, before the
// switch is even asked.
TEST_F(InstruTest, SwitchAndClientDecideWhatIsSentAndLogged)
{
    const std::wstring off = L"1: ZEP event not required", skip = L"1: ZEP is not required";
    const std::wstring load = L"4: Error when loading ZEP client dll", report = L"4: Error when calling ZEP ReportEvent API";
    const std::wstring cloud = L"4: Error when sending instrument data to the ZEP cloud";
    const struct {
        const wchar_t* zepInstru;  // nullptr: not configured anywhere
        const wchar_t* knob;       // a telemetry client knob; L"": the client is not registered
        HRESULT knobValue;
        bool sent;
        std::vector<std::wstring> lines;
        bool appId = true;  // "ZepInstruAppID" configured
        DWORD result = 0;
    } cases[] = {
        {L"1", nullptr, S_OK, true, {}}, {L"12abc", nullptr, S_OK, true, {}},  // any number but 0 (as _wtoi reads it)
        {L"0", nullptr, S_OK, false, {off, skip}}, {L"abc", nullptr, S_OK, false, {off, skip}},
        {nullptr, nullptr, S_OK, false, {L"4: Can't get ZEP value from registry", skip}},
        {L"1", L"", S_OK, false, {load, cloud}},
        {L"1", L"CreateResult", E_ACCESSDENIED, false, {load, cloud}},
        {L"1", L"ReportResult", E_FAIL, true, {report, cloud}},
        {L"0", nullptr, S_OK, false, {L"4: Cannot get a valid ZEP appID for QEL"}, false, ERROR_CANTREAD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.zepInstru ? c.zepInstru : L"(none)") << " " << (c.knob ? c.knob : L""));
        testbed::ClearTelemetryJournal();
        c.zepInstru ? testmachine::SetString(qelkeys::kCore, L"ZepInstru", c.zepInstru)
                    : testmachine::DeleteValue(qelkeys::kCore, L"ZepInstru");
        if (c.knob) *c.knob ? testbed::SetTelemetryKnob(c.knob, c.knobValue) : testbed::UnregisterTelemetryClient();
        if (!c.appId) testmachine::DeleteValue(qelkeys::kCore, L"ZepInstruAppID");
        TestLog().Clear();
        EXPECT_EQ(Send(), c.result);
        EXPECT_EQ(testbed::TelemetryRequests().size(), c.sent ? 1u : 0u);
        std::vector<std::wstring> own;  // the registry layers log their own misses
        for (const auto& l : TestLog().Lines()) {
            if (l.function.find(L"Instru::") != std::wstring::npos) own.push_back(std::to_wstring(l.level) + L": " + l.text);
        }
        EXPECT_EQ(own, c.lines);
        testbed::RegisterTelemetryClient();
        testbed::ClearTelemetryKnobs();
        testmachine::SetString(qelkeys::kCore, L"ZepInstruAppID", L"QEL-APP-7");
    }
}

// ---- The agent: job fields, producers, COM around them.

struct CapturingAgent : CQELInstruAgent {
    using CQELInstruAgent::CQELInstruAgent;
    std::vector<StringMap> sent;
    DWORD result = 0;
    DWORD sendInstrumentation(const StringMap& record) override { return sent.push_back(record), result; }
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
        k = L"Late", v = late;
        apartments.push_back(Apartment());
    });
    agent.AddFieldProducer([](std::wstring& k, std::wstring& v) { k = L"Same", v = L"first"; });
    agent.AddFieldProducer([](std::wstring& k, std::wstring& v) { k = L"Same", v = L"second"; });
    agent.AddFieldProducer([](std::wstring& k, std::wstring& v) { k = L"KrsVersion", v = L"produced"; });
    agent.AddFieldProducer([](std::wstring&, std::wstring& v) { v = L"no key: ignored"; });
    late = L"at send time";

    agent.SendEvent();
    EXPECT_EQ(agent.sent, (std::vector<StringMap>{{{L"EventName", L"AutoDownload"}, {L"EventState", L"Failure"},
                                                   {L"KrsVersion", L"produced"}, {L"Late", L"at send time"},
                                                   {L"Same", L"second"}}}));
    EXPECT_EQ(Apartment(), APTTYPE_CURRENT) << "COM is shut down again afterwards";
    EXPECT_TRUE(TestLog().Lines().empty());

    // An apartment the thread already has is kept; a failed send is logged, never returned.
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    agent.result = ERROR_CANTREAD;
    agent.SendEvent();
    EXPECT_EQ(Apartment(), APTTYPE_MAINSTA);
    ::CoUninitialize();
    EXPECT_EQ(apartments, (std::vector<APTTYPE>{APTTYPE_MTA, APTTYPE_MAINSTA})) << "producers run with COM";
    EXPECT_EQ(TestLog().Find(L"Error when sending instrument data").level, 4u);
}

TEST(PartnerConfigurationTest, Rules)
{
    using instru_fields::PartnerConfigurationValue;
    StringMap entries;  // 15 entries are taken, 16 are not
    for (wchar_t name = L'a'; name < L'a' + 15; ++name) entries[std::wstring(1, name)] = L"1";
    EXPECT_EQ(PartnerConfigurationValue(0, entries), L"a:1,b:1,c:1,d:1,e:1,f:1,g:1,h:1,i:1,j:1,k:1,l:1,m:1,n:1,o:1");
    entries[L"p"] = L"1";
    const std::pair<std::wstring, std::wstring> cases[] = {
        {PartnerConfigurationValue(0, entries), L"None"},
        {PartnerConfigurationValue(ERROR_CANTREAD, {{L"a", L"1"}}), L"None"},
        {PartnerConfigurationValue(0, {}), L""},
        {PartnerConfigurationValue(0, {{L"b", L"2"}, {L"B", L"1"}, {L"a", L""}}), L"B:1,a:,b:2"},
        {PartnerConfigurationValue(0, {{L"a", std::wstring(1024, L'x')}}), L"a:" + std::wstring(1024, L'x')},
        {PartnerConfigurationValue(0, {{L"a", std::wstring(1025, L'x')}, {L"b", L"1"}}), L"None"},
        // A value with a sequence that may not travel spoils the field (the scheduler's parameter tests
        // cover the sequences); names are not checked.
        {PartnerConfigurationValue(0, {{L"a", L"1"}, {L"b", L"x;y"}}), L"None"},
        {PartnerConfigurationValue(0, {{L"a;b", L"0x0F"}}), L"a;b:0x0F"},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(value, expected);
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
    // How the request carries it: the store's text in its written form, every double quote now a single
    // one, and (as inside any JSON string) each backslash escaped.
    static constexpr wchar_t kStoreInRequest[] =
        L"{ 'oobe':{'oobestate':'1'},'Packages':[{'AutoDownLoadFlag':'1','PkgID':'PKG-B'},{'PkgID':'PKG-A'}],"
        L"'ScheduleTask':[],'eula':{},'Entitlement':{'krsdownloadcount':'2','note':'say \\\\'x\\\\''} }";

    static std::wstring Produce(void (*producer)(std::wstring&, std::wstring&))
    {
        std::wstring key, value;
        producer(key, value);
        return value;
    }
};

TEST_F(CommonFieldsTest, MissingOrRefusedSourcesGiveTheirFallbacks)
{
    using namespace instru_fields;
    testmachine::DeleteTree(kPartner);
    testmachine::DeleteTree(kRvn);
    EXPECT_EQ(Produce(PartnerConfiguration) + L"|" + Produce(KrsVersion), L"None|None");

    // No store file at all: no packages, the empty document.
    ::DeleteFileW(datastorekit::StoreFile().c_str());
    EXPECT_EQ(Produce(PackageInfo), L"");
    std::wstring empty = datastorekit::EmptyDocument();
    std::replace(empty.begin(), empty.end(), L'"', L'\'');
    EXPECT_EQ(Produce(DatabaseContents), empty);

    testmachine::DeleteTree(L"SOFTWARE\\Tarsen\\QEL");  // no affiliate id at all
    EXPECT_EQ(Produce(AffID) + Produce(SoftwareDeviceTag) + Produce(ResellerID), L"");
}

TEST_F(CommonFieldsTest, WholeRequestOfAnEventByteForByte)
{
    // Read under COM of its own, shut down before the event: the process's WMI connection must serve the next
    // initialisation too.
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    const std::wstring serial = GetBiosSerialNumber();
    ::CoUninitialize();
    ASSERT_FALSE(serial.empty() || GetSystemLocaleName().empty());

    const long long before = static_cast<long long>(time(nullptr));
    // Job fields beside the common ones: JSON escaping of quote, backslash and control characters (NUL too),
    // everything else (slash, non-ASCII, a surrogate pair) as it is; fields named like the members the request
    // adds are replaced.
    CQELInstruAgent agent(L"AutoDownload");
    agent.SetField(L"EventData", std::wstring(L"say \"hi\" \\ a/b\r\n\t\b\f\x01\x1f\0", 22));
    agent.SetField(L"Zone", L"\x00FC\x20AC\xd83d\xde00");
    agent.SetField(L"component", L"x");
    agent.SetField(L"methodName", L"y");
    agent.AddCommonFieldProducers();
    agent.SendEvent();
    const long long after = static_cast<long long>(time(nullptr));

    // The timestamp: decimal seconds since 1970.
    const auto requests = testbed::TelemetryRequests();
    ASSERT_EQ(requests.size(), 1u);
    std::wsmatch match;
    ASSERT_TRUE(std::regex_search(requests[0], match, std::wregex(L"\"timestamp\":\"(\\d+)\""))) << requests[0];
    const std::wstring stamp = match[1];
    EXPECT_TRUE(std::stoll(stamp) >= before && std::stoll(stamp) <= after) << stamp;
    EXPECT_EQ(requests[0],
              L"{\"event\":{\"ApplicationID\":\"QEL-APP-7\",\"EventType\":\"genappevent\",\"timestamp\":\"" + stamp +
                  L"\",\"event_data\":{\"AffID\":\"1234\",\"BiosSerialNumber\":\"" + serial +
                  L"\",\"DatabaseContents\":\"" + kStoreInRequest +
                  L"\",\"EventData\":\"say \\\"hi\\\" \\\\ a/b\\r\\n\\t\\b\\f\\u0001\\u001F\\u0000\","
                  L"\"EventName\":\"AutoDownload\",\"EventVersion\":\"1.0\",\"KrsVersion\":\"21.3.10.5\","
                  L"\"LocaleName\":\"" + GetSystemLocaleName() +
                  L"\",\"PackageInfo\":\"PKG-B;PKG-A\",\"PartnerConfiguration\":\"channel:retail,region:EU\","
                  L"\"ResellerID\":\"R-77\",\"SoftwareDeviceTag\":\"TAG-1\",\"Zone\":\"\x00FC\x20AC\xd83d\xde00\","
                  L"\"component\":\"QEL\",\"methodName\":\"SendInstrumentation\"}}}");
}

}  // namespace
