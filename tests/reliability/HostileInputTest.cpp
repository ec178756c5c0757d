// What the framework's programs promise under bad input, through the real
// programs on a provisioned machine (the demo's default installation): the
// job runner, qelstore and the scheduler stand-in end normally, say what went
// wrong, and lose nothing of the shared store.
#include "tests/reliability/Reliability.h"

#include "app/ContextNumber.h"

namespace {

namespace kit = datastorekit;
using reliability::Doc;
using reliability::Has;

TEST_F(ReliabilityTest, ForeignMembersAndValuesSurviveEveryProgramByteForByte)
{
    // A store written by a newer or another program; each fragment must still be in the file after the
    // job runner, qelstore and the scheduler stand-in have each saved it.
    const std::pair<std::wstring, Texts> rows[] = {
        {Doc(L"\"schema\":2,\"flags\":[1,2],\"queue\":[],\"cfg\":{},\"newer\":{\"a\":{\"b\":[true,false,null,-1.5e3]},"
             L"\"s\":\"\\u00e9\\t\"},\"note\" :\r\n \"q\\\"\\u0041\\/\" , \"f\":1.0E+2 ,\"n\\u0041me\":{\"x\":1}",
             L",\"retries\":3,\"list\":[1,{\"x\":null}]"),
         {L"\"schema\":2", L"\"flags\":[1,2]", L"\"queue\":[]", L"\"cfg\":{}",
          L"\"newer\":{\"a\":{\"b\":[true,false,null,-1.5e3]},\"s\":\"\\u00e9\\t\"}", L"\"note\":\"q\\\"\\u0041\\/\"",
          L"\"f\":1.0E+2", L"\"nAme\":{\"x\":1}", L"\"list\":[1,{\"x\":null}]", L"\"retries\":3"}},
        {Doc(L"\"Packages\":[{\"PkgID\":\"KRS-FULL\",\"size\":12345}],"
             L"\"ScheduleTask\":[{\"Name\":\"Other\",\"Type\":\"3\",\"Retry\":{\"n\":2}}],\"eula\":{\"eulastate\":0}"),
         {L"\"size\":12345", L"\"Retry\":{\"n\":2}", L"\"eula\":{\"eulastate\":0}"}},
        // Sections of ours in another shape are kept as they are and read as empty.
        {Doc(L"\"eula\":[1,2],\"Packages\":{\"PkgID\":\"x\"},\"ScheduleTask\":\"none\""),
         {L"\"eula\":[1,2]", L"\"Packages\":{\"PkgID\":\"x\"}", L"\"ScheduleTask\":\"none\""}},
    };
    for (const auto& [text, fragments] : rows) {
        SCOPED_TRACE(testing::PrintToString(text));
        kit::WriteStoreText(text);
        EXPECT_TRUE(Has(Job(), L"Autodownload attempt count is:5")) << "the store was read";
        EXPECT_EQ(Tool(L"qelstore.exe", L"set status by qelstore").exitCode, 0u);
        EXPECT_EQ(Tool(L"schedsvc.exe", L"--heartbeat 1").exitCode, 0u);
        const std::wstring after = kit::StoreText();
        for (const auto& fragment : fragments) EXPECT_NE(after.find(fragment), std::wstring::npos) << testing::PrintToString(fragment);
        for (const wchar_t* ours : {L"\"autodownloadcount\":\"5\"", L"\"by\":\"qelstore\"", L"\"schedsvc.heartbeat\":\"1\""}) {
            EXPECT_NE(after.find(ours), std::wstring::npos) << testing::PrintToString(after);
        }
        EXPECT_FALSE(testmachine::FileExists(kit::UnreadableCopy()));
    }
    // A changed section of ours that the file holds in another shape: nothing is written over it.
    kit::WriteStoreText(Doc(L"\"Entitlement\":[\"theirs\"]"));
    const std::vector<BYTE> before = kit::FileBytes();
    EXPECT_TRUE(Has(Job(), L"Cant convert map to JSON object (ENTITLE)"));
    EXPECT_EQ(kit::FileBytes(), before);
}

enum class Outcome { Kept, Read, Fresh, Left };  // copied, then a new store; read and saved; held nothing; left alone
enum class Place { File, Folder, ReadOnly, HeldOpen, BadKey };

TEST_F(ReliabilityTest, DamagedStoresAreNeverSilentlyDestroyed)
{
    // One of each way a store reaches the programs damaged. (Which texts the
    // store refuses, and ciphertexts cut or grown, are the store fuzz target's
    // and its replay's at every test run: fuzz/store.cpp, tools/storefuzz.)
    const auto cipher = [](const std::wstring& text) { return kit::Encipher(text); };
    // Lone surrogates, and one byte more than whole code units.
    const std::wstring lone = Doc(L"\"s\":\"\xD800\"");
    std::vector<BYTE> odd(reinterpret_cast<const BYTE*>(lone.data()), reinterpret_cast<const BYTE*>(lone.data() + lone.size()));
    odd.push_back(0x7B);
    ASSERT_TRUE(kit::Cipher(true, odd, kit::TestKey()));
    const std::wstring deep(100000, L'[');
    const std::vector<BYTE> older = {1, 2, 3};
    const struct {
        const char* what;
        std::vector<BYTE> bytes;
        Outcome outcome;
        DWORD qelstoreExit;
        Place place;
        const wchar_t* line;  // a part of a line the job runner logs
    } rows[] = {
        {"empty", {}, Outcome::Fresh, 4, Place::File, L"Error reading data from JSON ini file"},
        {"another key", kit::Encipher(Doc(), kit::OtherKey()), Outcome::Kept, 4, Place::File, nullptr},
        {"lone surrogates and an odd byte", odd, Outcome::Read, 0, Place::File, L"Autodownload attempt count is:5"},
        {"not JSON", cipher(L"{ not json"), Outcome::Kept, 4, Place::File, L"Error parsing JSON data"},
        {"deep nesting of another program's", cipher(Doc(L"\"a\":" + deep + std::wstring(deep.size(), L']'))),
         Outcome::Read, 0, Place::File, nullptr},
        {"a 16 MiB document", cipher(Doc(L"\"big\":\"" + std::wstring(8 << 20, L'x') + L"\"")), Outcome::Read, 0, Place::File,
         nullptr},
        {"a root that is a list", cipher(L"[" + Doc() + L"]"), Outcome::Kept, 4, Place::File, L"JSON root is not an object"},
        {"a number beyond the double range", cipher(Doc(L"\"n\":1e400")), Outcome::Kept, 4, Place::File, L"Parse Error: 13"},
        {"a folder where the file should be", {}, Outcome::Left, 4, Place::Folder, L"is a folder; it is left as it is"},
        {"a read-only file", cipher(Doc()), Outcome::Left, 0, Place::ReadOnly, L"Error parsing writing to database"},
        {"a file held open without sharing", cipher(Doc()), Outcome::Left, 4, Place::HeldOpen, L"it is not replaced"},
        {"a key blob that will not import", cipher(Doc()), Outcome::Left, 3, Place::BadKey,
         L"was not read: the key could not be imported"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        testmachine::RemoveTree(kit::StoreFile());
        kit::Write(older, kit::UnreadableCopy());  // a copy kept earlier, which only an unreadable file replaces
        if (row.place == Place::Folder) testmachine::CreateFolder(kit::StoreFile());
        if (row.place != Place::Folder) kit::Write(row.bytes);
        if (row.place == Place::ReadOnly) ::SetFileAttributesW(kit::StoreFile().c_str(), FILE_ATTRIBUTE_READONLY);
        if (row.place == Place::BadKey) kit::SetKeyBlob(std::vector<BYTE>(140, 0xEE));
        ScopedHandle holder(row.place == Place::HeldOpen ? ::CreateFileW(kit::StoreFile().c_str(), GENERIC_READ, 0,
                                                                         nullptr, OPEN_EXISTING, 0, nullptr)
                                                         : nullptr);

        const auto tool = Tool(L"qelstore.exe", L"get status autodownloadcount");
        EXPECT_EQ(tool.exitCode, row.qelstoreExit) << testing::PrintToString(tool.err);
        EXPECT_TRUE(row.place != Place::BadKey || tool.err.find(L"the key could not be imported") != std::wstring::npos);
        const Texts lines = Job();
        EXPECT_TRUE(!row.line || Has(lines, row.line)) << testing::PrintToString(lines);
        holder.Reset();
        ::SetFileAttributesW(kit::StoreFile().c_str(), FILE_ATTRIBUTE_NORMAL);
        kit::SetKeyBlob(kit::KeyBlob(kit::TestKey()));

        const bool copied = kit::FileBytes(kit::UnreadableCopy()) != older;
        EXPECT_EQ(copied, row.outcome == Outcome::Kept);
        if (copied) {
            EXPECT_EQ(kit::FileBytes(kit::UnreadableCopy()), row.bytes) << "the copy is the original";
            EXPECT_TRUE(Has(lines, L"Unreadable data store file kept as " + kit::UnreadableCopy()));
        }
        if (row.outcome == Outcome::Left) {
            EXPECT_EQ(kit::FileBytes(), row.bytes) << "left as it is";
            continue;
        }
        const std::wstring count = row.outcome == Outcome::Read ? L"5" : L"1";
        EXPECT_EQ(Tool(L"qelstore.exe", L"get status autodownloadcount").out, count + L"\n");
    }
}

TEST_F(ReliabilityTest, CommandLinesThatNameNoJobChangeNothing)
{
    // Each a way a looser reading would find the number 4 (the parser's rule:
    // the text fuzz target, at every test run), read here with this machine's runtime as the
    // program reads its command line: no job's number (2, 4 or 5).
    const std::wstring rows[] = {
        L"/context=7", L"/context=0", L"/context=1", L"/context=3", L"/context=6", L"/context=-4", L"/context=--4",
        L"/context=+-4", L"/context=+7", L"/context=-0", L"/CONTEXT=7", L"\t /Context=0 \t", L"", L"   ",
        // Numbers that overflow 32 bits must not wrap around to a job's number.
        L"/context=4294967300", L"/context=4294967298", L"/context=4294967301", L"/context=-4294967292",
        L"/context=2147483652", L"/context=99999999999999999999999", L"/context=" + std::wstring(30000, L'9'),
        L"/context=" + std::wstring(30000, L'0') + L"7", std::wstring(30000, L'A'),
        // Other switches and spellings.
        L"/context", L"/context=", L"context=4", L"-context=4", L"/contexts=4", L"//context=4", L"=4", L"==/context=4",
        L"/context =4", L"/context:4", L"/ctx=4", L"/context=abc", L"/context=.4", L"/context=%34", L"/context=&4",
        L"/context=0x4", L"/context=\"4\"", L"\"/context=4\"", L"/context=7=4", L"/context=7 /context=4",
        // Look-alikes: a minus sign, fullwidth and Arabic-Indic digits, a Cyrillic letter, fullwidth letters.
        L"/context=\x2212" L"4", L"/context=\xFF14", L"/context=\x0664", L"/\x0441ontext=4", L"/\xFF43ontext=4",
    };
    for (const auto& arguments : rows) {
        std::wstring copy = arguments;
        const int context = job_dispatch::ParseContextId(copy);
        EXPECT_TRUE(context != 2 && context != 4 && context != 5) << testing::PrintToString(arguments.substr(0, 40));
    }
    // Through the real program (an unknown number and an empty line: the entry scenario): it names no job, logs
    // why and changes nothing.
    const std::vector<BYTE> store = kit::FileBytes();
    const DWORD taskValues = testmachine::ValueCount(reliability::kTaskKey);
    for (const wchar_t* arguments : {L"/context=4294967300", L"/context=\xFF14"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(arguments)));
        const Texts lines = Job(arguments);
        EXPECT_TRUE(Has(lines, L"Invalid context id."));
        EXPECT_TRUE(Has(lines, L"Bad command line, there are no jobs which matches the commadnline. cmd:"))
            << testing::PrintToString(lines);
        EXPECT_FALSE(Has(lines, L"Processing the job:"));
        EXPECT_EQ(kit::FileBytes(), store);
        EXPECT_EQ(testmachine::ValueCount(reliability::kTaskKey), taskValues);
    }
}

}  // namespace
