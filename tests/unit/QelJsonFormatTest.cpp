// The data store document in memory: what a text loads into, the exact text
// it is written back as, and the rules of each operation.
#include "common/Platform.h"

#include "datastore/QelJsonFormat.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/DataStoreKit.h"

#include <gtest/gtest.h>

namespace {

class QelJsonFormatTest : public testing::Test {
protected:
    void SetUp() override { TestLog().Clear(); }

    std::wstring Text()
    {
        std::wstring text;
        EXPECT_EQ(document.getJson(text), 0u);
        return text;
    }

    CQelJsonFormat document;
};

TEST_F(QelJsonFormatTest, EmptyDocumentRendersAllFiveSectionsInTheirFixedOrder)
{
    EXPECT_EQ(Text(), datastorekit::EmptyDocument());
    std::wstring text;
    EXPECT_EQ(document.GetJsonData(text), 0u);
    EXPECT_EQ(text, datastorekit::EmptyDocument());
}

TEST_F(QelJsonFormatTest, FilledDocumentTextIsExact)
{
    document.SetEntParameter(L"krsdownloadcount", L"2");
    document.SetEntParameter(L"a", L"x");
    document.SetEntParameter(L"B", L"y");
    document.SetOobeState(1);
    document.SetOobeParameter(L"completedtime", L"1700000000");
    document.SetEulaState(-3);
    document.SetPkgParameter(L"p1", L"AutoDownLoadFlag", L"1");
    document.AddScheduleTask(L"KRSDownload", {{L"Name", L"KRSDownload"}, {L"Param", L"/context=2"}});
    document.SetEulaParameter(L"quote\"back\\slash", L"line\nbreak \x00e9");
    EXPECT_EQ(Text(),
              L"{ \"oobe\":{\"completedtime\":\"1700000000\",\"oobestate\":\"1\"},"
              L"\"Packages\":[{\"AutoDownLoadFlag\":\"1\",\"PkgID\":\"p1\"}],"
              L"\"ScheduleTask\":[{\"Name\":\"KRSDownload\",\"Param\":\"/context=2\"}],"
              L"\"eula\":{\"eulastate\":\"-3\",\"quote\\\"back\\\\slash\":\"line\\nbreak \x00e9\"},"
              L"\"Entitlement\":{\"B\":\"y\",\"a\":\"x\",\"krsdownloadcount\":\"2\"} }");
}

TEST_F(QelJsonFormatTest, LoadedTextIsWrittenBackInTheFixedForm)
{
    const std::wstring loaded =
        L"{\"Entitlement\":{\"k\":\"v\"},\"eula\":{\"eulastate\":\"1\"},\"ScheduleTask\":[{\"Name\":\"T\"}],"
        L"\n \"Packages\" : [ {\"PkgID\":\"p\"} ], \"oobe\":{\"oobestate\":\"0\"}}";
    ASSERT_EQ(document.parseJson(loaded), 0u);
    EXPECT_EQ(Text(), L"{ \"oobe\":{\"oobestate\":\"0\"},\"Packages\":[{\"PkgID\":\"p\"}],\"ScheduleTask\":[{\"Name\":\"T\"}],"
                      L"\"eula\":{\"eulastate\":\"1\"},\"Entitlement\":{\"k\":\"v\"} }");
}

TEST_F(QelJsonFormatTest, OtherProgramsMembersAreCarriedAfterOurs)
{
    // Members of other framework programs come back after "Entitlement", in
    // code-unit order of their names, names escaped; an empty list holds
    // nothing and is not written.
    const std::wstring loaded =
        L"{\"zeta\":{\"a\":\"1\"},\"oobe\":{},\"Alpha\":[{\"x\":\"y\"},{}],\"q\\\"n\":{},\"empty\":[],"
        L"\"Entitlement\":{\"k\":\"v\"}}";
    ASSERT_EQ(document.parseJson(loaded), 0u);
    const std::wstring expected =
        L"{ \"oobe\":{},\"Packages\":[],\"ScheduleTask\":[],\"eula\":{},\"Entitlement\":{\"k\":\"v\"},"
        L"\"Alpha\":[{\"x\":\"y\"},{}],\"q\\\"n\":{},\"zeta\":{\"a\":\"1\"} }";
    EXPECT_EQ(Text(), expected);

    // The written text loads into the same document.
    CQelJsonFormat again;
    ASSERT_EQ(again.parseJson(expected), 0u);
    std::wstring text;
    ASSERT_EQ(again.getJson(text), 0u);
    EXPECT_EQ(text, expected);

    document.ClearData();
    EXPECT_EQ(Text(), datastorekit::EmptyDocument()) << "ClearData forgets them too";
}

TEST_F(QelJsonFormatTest, SectionsOfTheWrongShapeAreAParseFailure)
{
    const struct {
        const wchar_t* text;
        const wchar_t* line;
    } cases[] = {
        {L"{\"oobe\":[{\"oobestate\":\"1\"}]}", L"Data store section oobe is a list, not an object"},
        {L"{\"Entitlement\":[{}]}", L"Data store section Entitlement is a list, not an object"},
        {L"{\"Packages\":{\"PkgID\":\"p\"}}", L"Data store section Packages is an object, not a list"},
        {L"{\"ScheduleTask\":{}}", L"Data store section ScheduleTask is an object, not a list"},
        {L"{\"oobe\":{\"oobestate\":1}}", L"Cant convert JSON object to map"},
        {L"{\"oobe\":\"1\"}", L"Cant convert JSON object to map"},
        {L"[]", L"Cant convert JSON object to map"},
    };
    for (const auto& c : cases) {
        TestLog().Clear();
        EXPECT_EQ(document.parseJson(c.text), 87u);
        EXPECT_TRUE(TestLog().Has(c.line)) << testing::PrintToString(TestLog().Texts());
        document.ClearData();
    }
}

TEST_F(QelJsonFormatTest, DuplicateMembersLaterOneWins)
{
    ASSERT_EQ(document.parseJson(L"{\"Entitlement\":{\"k\":\"1\",\"k\":\"2\"},\"Entitlement\":{\"j\":\"3\",\"j\":\"4\"},"
                                 L"\"ScheduleTask\":[{\"Name\":\"A\"}],\"ScheduleTask\":[{\"Name\":\"B\"}]}"),
              0u);
    StringMap entitlement;
    document.GetEntParameters(entitlement);
    EXPECT_EQ(entitlement, (StringMap{{L"j", L"4"}}));
    StringList names;
    document.GetScheduleTaskNames(names);
    EXPECT_EQ(names, StringList{L"B"});
}

TEST_F(QelJsonFormatTest, AbsentSectionsAndEmptyTaskListLeaveMemoryAsItWas)
{
    document.AddScheduleTask(L"T", {{L"Name", L"T"}});
    document.SetEntParameter(L"k", L"v");
    ASSERT_EQ(document.parseJson(L"{\"ScheduleTask\":[],\"oobe\":{\"oobestate\":\"1\"}}"), 0u);
    StringMap task;
    EXPECT_EQ(document.GetScheduleTask(L"T", task), 0u) << "\"ScheduleTask\":[] does not clear the task list";
    std::wstring value;
    EXPECT_EQ(document.GetEntParameter(L"k", value), 0u) << "a section absent from the text stays as it was";
    ASSERT_EQ(document.parseJson(L"{\"ScheduleTask\":[{\"Name\":\"U\"}],\"Entitlement\":{}}"), 0u);
    EXPECT_EQ(document.GetScheduleTask(L"T", task), 1168u) << "a non-empty list replaces it";
    EXPECT_EQ(document.GetEntParameter(L"k", value), 1168u) << "an empty object replaces it";
}

TEST_F(QelJsonFormatTest, StatusParameters)
{
    document.SetEntParameter(L"set", L"1");
    document.SetEntParameter(L"empty", L"");

    const struct {
        const wchar_t* key;
        DWORD rc;
        const wchar_t* value;  // what the output holds afterwards
        bool logged;
    } cases[] = {
        {L"set", 0, L"1", false},
        {L"absent", 1168, L"unchanged", false},
        {L"empty", 1168, L"", true},
        {L"SET", 1168, L"unchanged", false},  // keys are case-sensitive
    };
    for (const auto& c : cases) {
        TestLog().Clear();
        std::wstring value = L"unchanged";
        EXPECT_EQ(document.GetEntParameter(c.key, value), c.rc) << c.key;
        EXPECT_EQ(value, c.value) << c.key;
        const std::wstring line = std::wstring(L"GetEntParameter key-value not found. key:") + c.key;
        EXPECT_EQ(TestLog().Has(line), c.logged) << c.key;
    }

    TestLog().Clear();
    document.SetEntParameter(L"set", L"2");
    const CapturedLine overwrite = TestLog().Find(L"Found set key value in map, overwriting the value.");
    EXPECT_EQ(overwrite.level, 1u);
    EXPECT_EQ(overwrite.function, L"CQelJsonFormat::SetEntParameter");

    StringMap all;
    EXPECT_EQ(document.GetEntParameters(all), 0u);
    EXPECT_EQ(all, (StringMap{{L"empty", L""}, {L"set", L"2"}}));
    document.ClearData();
    all = {{L"stale", L"x"}};
    EXPECT_EQ(document.GetEntParameters(all), 1168u);
    EXPECT_TRUE(all.empty());
}

TEST_F(QelJsonFormatTest, OobeAndEulaStates)
{
    int state = 42;
    EXPECT_EQ(document.GetOobeState(state), 1168u);
    EXPECT_EQ(state, 42);
    EXPECT_TRUE(TestLog().Has(L"Cant find oobestate key value in map"));
    EXPECT_EQ(document.GetEulaState(state), 1168u);
    EXPECT_TRUE(TestLog().Has(L"Cant find eulastate key value in map"));

    const struct {
        const wchar_t* stored;
        int state;
    } cases[] = {{L"1", 1}, {L"0", 0}, {L"12abc", 12}, {L"abc", 0}, {L"-3", -3}, {L" 7", 7}, {L"", 0}};
    for (const auto& c : cases) {
        document.SetOobeParameter(L"oobestate", c.stored);
        EXPECT_EQ(document.GetOobeState(state), 0u);
        EXPECT_EQ(state, c.state) << testing::PrintToString(std::wstring(c.stored));
    }
    document.SetEulaState(-7);
    std::wstring text;
    EXPECT_EQ(document.GetEulaParameter(L"eulastate", text), 0u);
    EXPECT_EQ(text, L"-7");

    TestLog().Clear();
    text = L"unchanged";
    EXPECT_EQ(document.GetOobeParameter(L"completedtime", text), 1168u);
    EXPECT_EQ(text, L"unchanged");
    EXPECT_TRUE(TestLog().Has(L"Cant find completedtime key value in db"));
    EXPECT_EQ(document.GetEulaParameter(L"x", text), 1168u);
    EXPECT_EQ(TestLog().Find(L"Cant find x key value in db").function, L"CQelJsonFormat::GetEulaParameter");
}

TEST_F(QelJsonFormatTest, AddScheduleTaskReplacesByName)
{
    const struct {
        RecordList before;
        const wchar_t* name;
        StringMap record;
        std::vector<std::wstring> namesAfter;
    } cases[] = {
        {{}, L"A", {{L"Name", L"A"}}, {L"A"}},
        {{{{L"Name", L"A"}}, {{L"Name", L"B"}}}, L"A", {{L"Name", L"A"}, {L"v", L"2"}}, {L"B", L"A"}},
        // Only the first of two records of that name is removed.
        {{{{L"Name", L"A"}}, {{L"Name", L"B"}}, {{L"Name", L"A"}, {L"v", L"old"}}},
         L"A",
         {{L"Name", L"A"}, {L"v", L"new"}},
         {L"B", L"A", L"A"}},
        // Records without a name are kept and not listed.
        {{{{L"Other", L"x"}}}, L"C", {{L"Name", L"C"}}, {L"C"}},
    };
    for (const auto& c : cases) {
        document.ClearData();
        for (const auto& record : c.before) document.AddScheduleTask(L"", record);
        EXPECT_EQ(document.AddScheduleTask(c.name, c.record), 0u);
        StringList names;
        document.GetScheduleTaskNames(names);
        EXPECT_EQ(names, c.namesAfter);
        StringMap found;
        EXPECT_EQ(document.GetScheduleTask(c.name, found), 0u);
        EXPECT_EQ(found, c.record) << "the last record of the name is the new one";
    }

    document.ClearData();
    StringList names = {L"kept"};
    EXPECT_EQ(document.GetScheduleTaskNames(names), 1168u);
    EXPECT_EQ(names, StringList{L"kept"});
    EXPECT_EQ(document.DeleteScheduleTask(L"none"), 0u);
    document.AddScheduleTask(L"A", {{L"Name", L"A"}});
    EXPECT_EQ(document.DeleteAllScheduleTasks(), 0u);
    StringMap found;
    EXPECT_EQ(document.GetScheduleTask(L"A", found), 1168u);
}

TEST_F(QelJsonFormatTest, PackageParametersKeepOldValues)
{
    ASSERT_EQ(document.parseJson(L"{\"Packages\":[{\"PkgID\":\"p\",\"f\":\"old\"},{\"PkgID\":\"q\"},{\"PkgID\":\"p\"}]}"),
              0u);
    EXPECT_EQ(document.SetPkgParameter(L"p", L"f", L"new"), 0u);
    EXPECT_EQ(document.SetPkgParameter(L"r", L"AutoDownLoadFlag", L"1"), 0u);
    EXPECT_EQ(document.SetPkgParameter(L"q", L"PkgID", L"other"), 0u);
    EXPECT_EQ(Text(), L"{ \"oobe\":{},\"Packages\":[{\"PkgID\":\"p\",\"f\":\"old\"},{\"PkgID\":\"q\"},"
                      L"{\"PkgID\":\"p\",\"f\":\"new\"},{\"AutoDownLoadFlag\":\"1\",\"PkgID\":\"r\"}],"
                      L"\"ScheduleTask\":[],\"eula\":{},\"Entitlement\":{} }");

    StringList ids;
    EXPECT_EQ(document.GetPkgIDs(ids), 0u);
    EXPECT_EQ(ids, (StringList{L"p", L"q", L"p", L"r"}));
    StringMap record;
    EXPECT_EQ(document.GetPackage(L"p", record), 0u);
    EXPECT_EQ(record, (StringMap{{L"PkgID", L"p"}, {L"f", L"new"}})) << "the last record of the id";
    EXPECT_EQ(document.GetPackage(L"none", record), 1168u);

    document.SetPkgParameter(L"q", L"empty", L"");
    const struct {
        const wchar_t* id;
        const wchar_t* name;
        DWORD rc;
        const wchar_t* value;
    } cases[] = {
        {L"r", L"AutoDownLoadFlag", 0, L"1"},
        {L"p", L"f", 0, L"new"},
        {L"none", L"f", 2, L"unchanged"},
        {L"r", L"none", 2, L"unchanged"},
        {L"q", L"empty", 2, L"unchanged"},
    };
    for (const auto& c : cases) {
        TestLog().Clear();
        std::wstring value = L"unchanged";
        EXPECT_EQ(document.GetPkgParameter(c.id, c.name, value), c.rc) << c.id << " " << c.name;
        EXPECT_EQ(value, c.value);
        const std::wstring line =
            std::wstring(L"Returning from GetPkgParameter, passed in Key:Value pair does not exist in this package. "
                         L"pkgid:") + c.id + L", key:" + c.name;
        EXPECT_EQ(TestLog().Has(line), c.rc != 0);
    }
    document.ClearData();
    EXPECT_EQ(document.GetPkgIDs(ids), 1168u);
}

}  // namespace
