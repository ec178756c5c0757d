// The data store document in memory: what a text loads into, the exact text
// it is written back as, and the rules of each operation.
#include "common/Platform.h"

#include "datastore/QelJsonFormat.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Texts = std::vector<std::wstring>;

class QelJsonFormatTest : public testing::Test {
protected:
    void SetUp() override { TestLog().Clear(); }
    std::wstring Text()
    {
        std::wstring text;
        EXPECT_EQ(document.GetJsonData(text), 0u);
        return text;
    }
    CQelJsonFormat document;
};

TEST_F(QelJsonFormatTest, LoadedTextIsWrittenBackInTheFixedFormWithOtherProgramsMembersAfterOurs)
{
    // Members of other framework programs come back after "Entitlement", in code-unit order of their
    // names, names escaped; task records that are not ours to run (no name, a path for a name, control
    // characters) are kept as they are.
    const std::wstring tasks =
        L"[{\"Name\":\"T\"},{\"Name\":\"\"},{\"Name\":\"..\\\\CORE\",\"Type\":\"1\"},{\"Name\":\"C\\u0001\\n\"}]";
    ASSERT_EQ(document.parseJson(L"{\"zeta\":{\"a\":\"1\"},\"Entitlement\":{\"k\":\"v\"},\"eula\":{\"eulastate\":\"1\"},"
                                 L"\"Alpha\":[{\"x\":\"y\"},{}],\n \"ScheduleTask\" : " + tasks + L","
                                 L"\"q\\\"n\":{},\"empty\":[],\"Packages\":[{\"PkgID\":\"p\"}],\"oobe\":{}}"),
              0u);
    const std::wstring expected =
        L"{ \"oobe\":{},\"Packages\":[{\"PkgID\":\"p\"}],\"ScheduleTask\":" + tasks + L","
        L"\"eula\":{\"eulastate\":\"1\"},\"Entitlement\":{\"k\":\"v\"},"
        L"\"Alpha\":[{\"x\":\"y\"},{}],\"empty\":[],\"q\\\"n\":{},\"zeta\":{\"a\":\"1\"} }";
    EXPECT_EQ(Text(), expected);
    document.ClearData();
    EXPECT_EQ(Text(), datastorekit::EmptyDocument()) << "ClearData forgets other programs' members too";
    ASSERT_EQ(document.parseJson(expected), 0u);
    EXPECT_EQ(Text(), expected) << "the written text loads into the same document";
}

// A text that is not JSON is refused as a whole, and the document keeps what
// it held. (Which texts are JSON is the store fuzz target's, at every test
// run: these are the ones its corpus does not hold.)
TEST_F(QelJsonFormatTest, TextsThatAreNotJsonAreRefusedWhole)
{
    document.SetEntParameter(L"k", L"v");
    const std::wstring texts[] = {
        L"\xFEFF{}",                                       // a byte-order mark, as a text editor writes one
        L"{} {}",                                          // a second root
        L"{\"a\":{},}",                                    // a trailing comma
        L"// note\n{}",                                    // comments are not JSON
        L"{\"a\":{\"b\":\"x\ny\"}}",                          // a raw control character in a string
        std::wstring(L"{}\0{}", 5),                        // a NUL does not end the text
        std::wstring(L"{\"a\":{\"b\":\"x\0\"}}", 14),
    };
    for (const auto& text : texts) {
        std::wstring value;
        EXPECT_NE(document.parseJson(text), 0u) << testing::PrintToString(text);
        EXPECT_TRUE(document.GetEntParameter(L"k", value) == 0 && value == L"v") << testing::PrintToString(text);
    }
}

// An escaped surrogate without its other half, high or low, reads as the one
// code unit it names (as that unit unescaped does) and is written back as that
// unit; in another program's member it stays as it was written.
TEST_F(QelJsonFormatTest, EscapedLoneSurrogatesReadAsTheirCodeUnit)
{
    const std::pair<const wchar_t*, std::wstring> rows[] = {
        {L"\\ud800", L"\xd800"},
        {L"\\udc00", L"\xdc00"},
        {L"\\uDBFFx", L"\xdbffx"},
        {L"\\ud800\\u0041", L"\xd800" L"A"},
        {L"\\udc00\\ud800", L"\xdc00\xd800"},
        {L"\\ud800\\ud800\\udc00", L"\xd800\xd800\xdc00"},
        {L"\\ud83d\\ude00", L"\xd83d\xde00"},  // a pair
        {L"\\\\ud800", L"\\ud800"},            // an escaped reverse solidus, then letters
    };
    for (const auto& [escaped, unit] : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(escaped)));
        const std::wstring other = L"\"other\":[\"" + std::wstring(escaped) + L"\"]";
        ASSERT_EQ(document.parseJson(L"{\"Entitlement\":{\"k\":\"" + std::wstring(escaped) + L"\"}," + other + L"}"), 0u);
        const std::wstring text = Text();
        EXPECT_NE(text.find(other), std::wstring::npos);
        for (int pass = 0; pass < 2; ++pass) {
            std::wstring value;
            EXPECT_EQ(document.GetEntParameter(L"k", value), 0u);
            EXPECT_EQ(value, unit);
            document.ClearData();
            ASSERT_EQ(document.parseJson(text), 0u) << "the written text reads the same";
        }
        document.ClearData();
    }
}

// (A later duplicate name wins: the store fuzz target's.)
TEST_F(QelJsonFormatTest, AbsentSectionsAndAnEmptyTaskList)
{
    document.AddScheduleTask(L"T", {{L"Name", L"T"}});
    document.SetEntParameter(L"k", L"v");
    ASSERT_EQ(document.parseJson(L"{\"ScheduleTask\":[],\"oobe\":{\"oobestate\":\"1\"}}"), 0u);
    StringMap task;
    std::wstring value;
    EXPECT_EQ(document.GetScheduleTask(L"T", task), 0u) << "\"ScheduleTask\":[] does not clear the task list";
    EXPECT_EQ(document.GetEntParameter(L"k", value), 0u) << "a section absent from the text stays as it was";
    ASSERT_EQ(document.parseJson(L"{\"ScheduleTask\":[{\"Name\":\"U\"}],\"Entitlement\":{}}"), 0u);
    EXPECT_EQ(document.GetScheduleTask(L"T", task), 1168u) << "a non-empty list replaces it";
    EXPECT_EQ(document.GetEntParameter(L"k", value), 1168u) << "an empty object replaces it";
}

TEST_F(QelJsonFormatTest, StatusParameters)
{
    StringMap all;
    EXPECT_EQ(document.GetEntParameters(all), 1168u) << "none yet";
    document.SetEntParameter(L"set", L"1");
    document.SetEntParameter(L"set", L"2");
    document.SetEntParameter(L"empty", L"");
    TestLog().Clear();
    // key, result, what the output holds afterwards; an empty value is "not found", and logged.
    const std::tuple<const wchar_t*, DWORD, const wchar_t*> cases[] = {
        {L"set", 0, L"2"}, {L"absent", 1168, L"unchanged"}, {L"empty", 1168, L""}};
    for (const auto& [key, rc, expected] : cases) {
        std::wstring value = L"unchanged";
        EXPECT_EQ(document.GetEntParameter(key, value), rc) << key;
        EXPECT_EQ(value, expected) << key;
    }
    EXPECT_EQ(TestLog().Texts(), Texts{L"GetEntParameter key-value not found. key:empty"});
}

TEST_F(QelJsonFormatTest, OobeAndEulaStates)
{
    // (Absent states and parameters: the facade's getters on an unreadable store, DataStoreTest.)
    // A state is the leading number of the stored text; no number gives 0.
    int state = 42;
    const std::pair<const wchar_t*, int> cases[] = {{L"12abc", 12}, {L"abc", 0}, {L"-3", -3}, {L" 7", 7}};
    for (const auto& [stored, expected] : cases) {
        document.SetOobeParameter(L"oobestate", stored);
        document.SetEulaParameter(L"eulastate", stored);
        EXPECT_EQ(document.GetOobeState(state), 0u);
        EXPECT_EQ(state, expected) << testing::PrintToString(std::wstring(stored));
        EXPECT_EQ(document.GetEulaState(state), 0u);
        EXPECT_EQ(state, expected);
    }
}

TEST_F(QelJsonFormatTest, AddScheduleTaskReplacesTheFirstOfItsName)
{
    // Before: A, B, A(old), and a record without a name (kept, not listed).
    for (const StringMap& record : std::vector<StringMap>{
             {{L"Name", L"A"}}, {{L"Name", L"B"}}, {{L"Name", L"A"}, {L"v", L"old"}}, {{L"Other", L"x"}}}) {
        document.AddScheduleTask(L"", record);
    }
    const StringMap added = {{L"Name", L"A"}, {L"v", L"new"}};
    EXPECT_EQ(document.AddScheduleTask(L"A", added), 0u);
    StringList names;
    StringMap found;
    EXPECT_EQ(document.GetScheduleTaskNames(names), 0u);
    EXPECT_EQ(names, (StringList{L"B", L"A", L"A"}));
    EXPECT_EQ(document.GetScheduleTask(L"A", found), 0u);
    EXPECT_EQ(found, added) << "the last record of the name is the new one";
    EXPECT_EQ(document.DeleteScheduleTask(L"none"), 0u);
    names = {L"kept"};
    EXPECT_EQ(CQelJsonFormat().GetScheduleTaskNames(names), 1168u);
    EXPECT_EQ(names, StringList{L"kept"});
}

TEST_F(QelJsonFormatTest, PackageParametersKeepOldValues)
{
    ASSERT_EQ(
        document.parseJson(L"{\"Packages\":[{\"PkgID\":\"p\",\"f\":\"old\"},{\"PkgID\":\"q\"},{\"PkgID\":\"p\"}]}"), 0u);
    EXPECT_EQ(document.SetPkgParameter(L"p", L"f", L"new"), 0u);
    EXPECT_EQ(document.SetPkgParameter(L"r", L"AutoDownLoadFlag", L"1"), 0u);
    EXPECT_EQ(document.SetPkgParameter(L"q", L"PkgID", L"other"), 0u);
    EXPECT_EQ(document.SetPkgParameter(L"q", L"empty", L""), 0u);
    EXPECT_EQ(Text(), L"{ \"oobe\":{},\"Packages\":[{\"PkgID\":\"p\",\"f\":\"old\"},{\"PkgID\":\"q\",\"empty\":\"\"},"
                      L"{\"PkgID\":\"p\",\"f\":\"new\"},{\"AutoDownLoadFlag\":\"1\",\"PkgID\":\"r\"}],"
                      L"\"ScheduleTask\":[],\"eula\":{},\"Entitlement\":{} }");
    std::wstring value;
    EXPECT_EQ(document.GetPkgParameter(L"p", L"f", value), 0u);
    EXPECT_EQ(value, L"new") << "from the last record of the id";

    // A missing package, a missing name and an empty value are all "not found".
    const std::pair<const wchar_t*, const wchar_t*> absent[] = {{L"none", L"f"}, {L"r", L"none"}, {L"q", L"empty"}};
    for (const auto& [id, name] : absent) {
        TestLog().Clear();
        EXPECT_EQ(document.GetPkgParameter(id, name, value), 2u) << id << " " << name;
        EXPECT_EQ(value, L"new");
        EXPECT_TRUE(TestLog().Has(L"Returning from GetPkgParameter, passed in Key:Value pair does not exist in this "
                                  L"package. pkgid:" + std::wstring(id) + L", key:" + name));
    }
}

}  // namespace
