// Settings of the wrong kind and programs killed while they save: through the
// real programs on a provisioned machine. (Programs at once on the store:
// DataStoreProcessTest; hostile task records: the scheduler record, task
// manager and document tests.)
#include "tests/reliability/Reliability.h"

#include "config/QELConfig.h"

#include <ctime>
#include <random>

namespace {

namespace kit = datastorekit;
using reliability::Has;

std::vector<BYTE> Sz(const std::wstring& text, bool terminated = true)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(bytes, bytes + (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

std::wstring Interval()
{
    std::wstring text = L"(none)";
    DWORD value = 0, bytes = sizeof(value);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, reliability::kTaskKey.c_str(), L"IntervalInSec", RRF_RT_REG_DWORD, nullptr,
                       &value, &bytes) == ERROR_SUCCESS) {
        text = std::to_wstring(value);
    }
    return text;
}

TEST_F(ReliabilityTest, SettingsOfTheWrongKindGiveTheirDefaultsOrARefusal)
{
    // The first run ended 1000 s ago; "FirstAutoDownloadCheckWait" (default 1200) decides whether the job runs or
    // waits (event "Aborted", the task registered again every "AutoDownloadCheckFrequency", default 14400).
    const std::wstring partner = std::wstring(qelkeys::kPartnerRoot) + L"\\1234";
    const std::wstring runs = L"Started,Complete,Failure", waits = L"Aborted";
    const std::wstring x(20000, L'x');
    const DWORD one = 1;
    const std::vector<BYTE> dword(reinterpret_cast<const BYTE*>(&one), reinterpret_cast<const BYTE*>(&one) + 4);
    const struct {
        std::wstring key, name;
        DWORD type;
        std::vector<BYTE> data;
        std::wstring events, interval;
        const wchar_t* line;  // "": no log file at all
    } rows[] = {
        {partner, L"FirstAutoDownloadCheckWait", REG_DWORD, dword, waits, L"7200", L"Cant get registry value FirstAutoDownloadCheckWait"},
        {partner, L"FirstAutoDownloadCheckWait", REG_SZ, Sz(L""), waits, L"7200", nullptr},
        {partner, L"FirstAutoDownloadCheckWait", REG_SZ, Sz(L"600" + x), runs, L"7200", L"Initial launch wait time elapsed."},
        {partner, L"FirstAutoDownloadCheckWait", REG_SZ, Sz(L"600", false), runs, L"7200", nullptr},
        {partner, L"FirstAutoDownloadCheckWait", REG_SZ, Sz(L"-5"), waits, L"7200", nullptr},
        {partner, L"AutoDownloadCheckFrequency", REG_SZ, Sz(L"99999999999"), waits, L"2147483647", nullptr},
        {partner, L"ZepInstru", REG_DWORD, dword, L"", L"7200", L"Can't get ZEP value from registry"},
        {partner, L"ZepInstru", REG_SZ, Sz(L""), L"", L"7200", L"ZEP event not required"},
        {qelkeys::kPartnerRoot, L"Affid", REG_DWORD, dword, L"", L"14400", L"Cannot get a valid ZEP appID for QEL"},
        {L"SOFTWARE\\Tarsen\\Logging", L"Logging Mechanism", REG_SZ, Sz(L"1"), waits, L"7200", L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.name + L" " + std::to_wstring(row.type) + L" of " +
                                            std::to_wstring(row.data.size()) + L" bytes"));
        sandbox::Options options;
        options.autoDownloadCheckFrequency = 7200;
        Provision(options);
        const std::wstring recent = std::to_wstring(static_cast<long long>(std::time(nullptr)) - 1000);
        kit::WriteStoreText(L"{\"oobe\":{\"completedtime\":\"" + recent + L"\"}}");
        testmachine::SetRaw(row.key, row.name, row.type, row.data.data(), static_cast<DWORD>(row.data.size()));
        const Texts lines = Job();
        EXPECT_EQ(Events(), row.events);
        EXPECT_EQ(Interval(), row.interval);
        EXPECT_TRUE(!row.line || (*row.line ? Has(lines, row.line) : lines.empty())) << testing::PrintToString(lines);
    }
}

TEST_F(ReliabilityTest, AProgramKilledWhileItSavesLeavesAWholeStore)
{
    std::mt19937 random(3);
    const std::wstring schedsvc = testmachine::BinDir() + L"\\schedsvc.exe";
    for (int kill = 0; kill < 12; ++kill) {
        SCOPED_TRACE(kill);
        const ScopedHandle process = testmachine::StartProgram(schedsvc, L"--heartbeat 1000000");
        ASSERT_TRUE(process);
        ::Sleep(150 + random() % 300);
        ::TerminateProcess(process.Get(), 1);
        ::WaitForSingleObject(process.Get(), INFINITE);
        CQelJsonFormat document;
        EXPECT_EQ(document.LoadData(), 0u) << "the store still reads";
        std::wstring count;
        EXPECT_EQ(document.GetEntParameter(L"autodownloadcount", count), 0u);
        EXPECT_EQ(count, L"4");
    }
    EXPECT_FALSE(testmachine::FileExists(kit::UnreadableCopy()));
}

TEST_F(ReliabilityTest, ASaveKeepsTheFilesAttributes)
{
    // (The access list is copied the same way; this test machine does not keep one set on a file.)
    const std::wstring file = kit::StoreFile();
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    const DWORD before = ::GetFileAttributesW(file.c_str());
    ASSERT_EQ(CQelPersistenceData().SetEntParameter(L"saved", L"1"), 0u);
    EXPECT_EQ(::GetFileAttributesW(file.c_str()), before);
    EXPECT_NE(kit::StoreText().find(L"\"saved\":\"1\""), std::wstring::npos);
    EXPECT_FALSE(testmachine::FileExists(file + L".new"));
}

}  // namespace
