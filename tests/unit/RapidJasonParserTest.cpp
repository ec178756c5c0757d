// The JSON conversions the data store and the telemetry text are built on:
// the exact text written, what is read back, and the texts refused as a whole.
#include "common/Platform.h"

#include "datastore/RapidJasonParser.h"
#include "tests/support/CaptureLog.h"

#include <gtest/gtest.h>

namespace {

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            snprintf(hex, sizeof(hex), "<%04X>", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out;
}

TEST(RapidJasonParserTest, MapToJsonObjectWritesCompactTextInCodeUnitOrder)
{
    const struct {
        StringMap map;
        std::wstring text;
    } cases[] = {
        {{}, L"{}"},
        {{{L"a", L"1"}}, L"{\"a\":\"1\"}"},
        // Code-unit order: upper case sorts before lower case, "B" before "a".
        {{{L"a", L"1"}, {L"B", L"2"}, {L"_", L"3"}}, L"{\"B\":\"2\",\"_\":\"3\",\"a\":\"1\"}"},
        {{{L"", L""}}, L"{\"\":\"\"}"},
        // Standard escaping: quotation mark, reverse solidus, control characters.
        {{{L"q\"k", L"a\\b"}}, L"{\"q\\\"k\":\"a\\\\b\"}"},
        {{{L"c", L"\b\f\n\r\t"}}, L"{\"c\":\"\\b\\f\\n\\r\\t\"}"},
        {{{L"c", std::wstring(L"\x01\x1f", 2)}}, L"{\"c\":\"\\u0001\\u001F\"}"},
        {{{L"nul", std::wstring(1, L'\0')}}, L"{\"nul\":\"\\u0000\"}"},
        // The solidus and everything outside ASCII are written as they are.
        {{{L"path", L"C:/x"}}, L"{\"path\":\"C:/x\"}"},
        {{{L"\x00e9t\x00e9", L"\x20ac \xd83d\xde00"}}, L"{\"\x00e9t\x00e9\":\"\x20ac \xd83d\xde00\"}"},
    };
    CRapidJasonParser parser;
    for (const auto& c : cases) {
        std::wstring out = L"stale";
        ASSERT_EQ(parser.MapToJsonObject(c.map, out), 0u);
        EXPECT_EQ(out, c.text) << Narrow(out);
    }
}

TEST(RapidJasonParserTest, NamedFormsPrefixTheNameUnescaped)
{
    CRapidJasonParser parser;
    std::wstring out;
    ASSERT_EQ(parser.MapToNamedJsonObject(L"oobe", {}, out), 0u);
    EXPECT_EQ(out, L"\"oobe\":{}");
    ASSERT_EQ(parser.MapToNamedJsonObject(L"eula", {{L"eulastate", L"1"}}, out), 0u);
    EXPECT_EQ(out, L"\"eula\":{\"eulastate\":\"1\"}");

    ASSERT_EQ(parser.VectorToNamedJsonArray(L"Packages", {}, out), 0u);
    EXPECT_EQ(out, L"\"Packages\":[]");
    ASSERT_EQ(parser.VectorToNamedJsonArray(L"ScheduleTask", {{{L"Name", L"A"}}, {}, {{L"Name", L"B"}, {L"P", L"x"}}},
                                            out),
              0u);
    EXPECT_EQ(out, L"\"ScheduleTask\":[{\"Name\":\"A\"},{},{\"Name\":\"B\",\"P\":\"x\"}]");
}

TEST(RapidJasonParserTest, ObjectsAndArraysAreReadByName)
{
    const std::wstring text =
        L" {\r\n \"oobe\" : { \"oobestate\" : \"1\", \"x\":\"\\u00e9\\n\\\"\" },\t"
        L"\"Packages\":[{\"PkgID\":\"p1\"},{\"PkgID\":\"p2\",\"AutoDownLoadFlag\":\"1\"}],"
        L"\"ScheduleTask\":[],\"eula\":{},\"Entitlement\":{\"k\":\"v\"} } ";
    CRapidJasonParser parser;

    NamedStringMaps objects;
    ASSERT_EQ(parser.JsonObjectToMap(text, objects), 0u);
    const NamedStringMaps expectedObjects = {
        {L"oobe", {{L"oobestate", L"1"}, {L"x", L"\x00e9\n\""}}},
        {L"eula", {}},
        {L"Entitlement", {{L"k", L"v"}}},
    };
    EXPECT_EQ(objects, expectedObjects);

    NamedRecordLists arrays;
    ASSERT_EQ(parser.JsonNamedArrayToVector(text, arrays), 0u);
    // The empty "ScheduleTask" array is not reported.
    const NamedRecordLists expectedArrays = {
        {L"Packages", {{{L"PkgID", L"p1"}}, {{L"PkgID", L"p2"}, {L"AutoDownLoadFlag", L"1"}}}},
    };
    EXPECT_EQ(arrays, expectedArrays);

    RecordList records;
    ASSERT_EQ(parser.JsonArrayToVector(L"[{\"a\":\"1\"},{}]", records), 0u);
    EXPECT_EQ(records, (RecordList{{{L"a", L"1"}}, {}}));
}

TEST(RapidJasonParserTest, LaterDuplicatesReplaceEarlierOnes)
{
    CRapidJasonParser parser;
    NamedStringMaps objects;
    ASSERT_EQ(parser.JsonObjectToMap(L"{\"s\":{\"a\":\"1\",\"a\":\"2\",\"b\":\"3\"},\"s\":{\"a\":\"4\"}}", objects), 0u);
    EXPECT_EQ(objects, (NamedStringMaps{{L"s", {{L"a", L"4"}}}}));
    ASSERT_EQ(parser.JsonObjectToMap(L"{\"s\":{\"a\":\"1\",\"a\":\"2\",\"b\":\"3\"}}", objects), 0u);
    EXPECT_EQ(objects, (NamedStringMaps{{L"s", {{L"a", L"2"}, {L"b", L"3"}}}}));

    NamedRecordLists arrays;
    ASSERT_EQ(parser.JsonNamedArrayToVector(L"{\"t\":[{\"n\":\"1\"}],\"t\":[{\"n\":\"2\"},{\"n\":\"3\"}]}", arrays), 0u);
    EXPECT_EQ(arrays, (NamedRecordLists{{L"t", {{{L"n", L"2"}}, {{L"n", L"3"}}}}}));
}

TEST(RapidJasonParserTest, EveryCodeUnitSurvivesWriteAndRead)
{
    // All 65536 UTF-16 code units, lone surrogates and NUL included, in one
    // value and (shifted) in one name.
    std::wstring all(0x10000, L'\0');
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<wchar_t>(i);
    const StringMap map = {{all, all}, {all.substr(1, 300), L""}, {L"plain", L"text"}};

    CRapidJasonParser parser;
    std::wstring named;
    ASSERT_EQ(parser.MapToNamedJsonObject(L"s", map, named), 0u);
    NamedStringMaps back;
    ASSERT_EQ(parser.JsonObjectToMap(L"{" + named + L"}", back), 0u);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_TRUE(back[L"s"] == map);
}

TEST(RapidJasonParserTest, TextsOutsideTheDocumentShapeAreRefusedWhole)
{
    const struct {
        std::wstring text;
        std::wstring line;  // the logged text
    } cases[] = {
        {L"", L"Invalid jsonString argument"},
        {L"{", L"Parse Error: 4"},                            // a member name is missing
        {L"   ", L"Parse Error: 1"},                          // no document at all
        {L"{} {}", L"Parse Error: 2"},                        // a second root
        {L"{\"a\":{},}", L"Parse Error: 4"},                  // trailing comma
        {L"// note\n{}", L"Parse Error: 3"},                  // comments are not JSON
        {L"{'a':{}}", L"Parse Error: 4"},                     // single quotes
        {L"{\"a\":{\"b\":\"x\ny\"}}", L"Parse Error: 10"},    // raw control character in a string
        {L"{\"a\":{\"b\":\"\\x\"}}", L"Parse Error: 10"},     // unknown escape
        {L"{\"a\":{\"b\":\"\\ud800x\"}}", L"Parse Error: 9"}, // escaped lone surrogate
        {std::wstring(L"{}\0{}", 5), L"Parse Error: 2"},      // a NUL does not end the text
        {std::wstring(L"{\"a\":{\"b\":\"x\0\"}}", 14), L"Parse Error: 11"},
        {L"[]", L"JSON root is not an object"},
        {L"\"text\"", L"JSON root is not an object"},
        {L"{\"oobe\":{\"oobestate\":1}}", L"JSON member oobe holds a value that is not a string"},
        {L"{\"oobe\":{\"a\":\"1\",\"b\":null}}", L"JSON member oobe holds a value that is not a string"},
        {L"{\"oobe\":{\"a\":{\"b\":\"c\"}}}", L"JSON member oobe holds a value that is not a string"},
        {L"{\"oobe\":{\"a\":[\"1\"]}}", L"JSON member oobe holds a value that is not a string"},
        {L"{\"Packages\":[\"p1\"]}", L"JSON member Packages is not an array of objects of strings"},
        {L"{\"Packages\":[{\"PkgID\":true}]}", L"JSON member Packages is not an array of objects of strings"},
        {L"{\"Packages\":[{},[]]}", L"JSON member Packages is not an array of objects of strings"},
        {L"{\"version\":\"2\"}", L"JSON member version is neither an object nor an array"},
        {L"{\"eula\":{},\"count\":3}", L"JSON member count is neither an object nor an array"},
        {L"{\"x\":null}", L"JSON member x is neither an object nor an array"},
    };
    CRapidJasonParser parser;
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        const NamedStringMaps sentinelObjects = {{L"kept", {{L"a", L"b"}}}};
        NamedStringMaps objects = sentinelObjects;
        TestLog().Clear();
        EXPECT_EQ(parser.JsonObjectToMap(c.text, objects), 87u);
        EXPECT_EQ(objects, sentinelObjects) << "output untouched";
        ASSERT_EQ(TestLog().Texts(), std::vector<std::wstring>{c.line});
        EXPECT_EQ(TestLog().Lines()[0].function, L"CRapidJasonParser::JsonObjectToMap");
        EXPECT_EQ(TestLog().Lines()[0].level, 4u);

        const NamedRecordLists sentinelArrays = {{L"kept", {{{L"a", L"b"}}}}};
        NamedRecordLists arrays = sentinelArrays;
        TestLog().Clear();
        EXPECT_EQ(parser.JsonNamedArrayToVector(c.text, arrays), 87u);
        EXPECT_EQ(arrays, sentinelArrays);
        ASSERT_EQ(TestLog().Texts(), std::vector<std::wstring>{c.line});
        EXPECT_EQ(TestLog().Lines()[0].function, L"CRapidJasonParser::JsonNamedArrayToVector");
    }
}

TEST(RapidJasonParserTest, DeepNestingIsRefusedWithoutExhaustingTheStack)
{
    CRapidJasonParser parser;
    const std::wstring deep = L"{\"a\":" + std::wstring(1000000, L'[') + std::wstring(1000000, L']') + L"}";
    NamedStringMaps objects;
    TestLog().Clear();
    EXPECT_EQ(parser.JsonObjectToMap(deep, objects), 87u);
    EXPECT_TRUE(TestLog().Has(L"JSON member a is not an array of objects of strings"));

    RecordList records;
    EXPECT_EQ(parser.JsonArrayToVector(std::wstring(1000000, L'['), records), 87u);
}

TEST(RapidJasonParserTest, ArrayRootMustHoldObjectsOfStrings)
{
    const wchar_t* refused[] = {L"{}", L"[1]", L"[{\"a\":1}]", L"[{},\"x\"]", L"[[]]"};
    CRapidJasonParser parser;
    for (const wchar_t* text : refused) {
        RecordList records = {{{L"kept", L"1"}}};
        TestLog().Clear();
        EXPECT_EQ(parser.JsonArrayToVector(text, records), 87u) << Narrow(text);
        EXPECT_EQ(records.size(), 1u);
        EXPECT_TRUE(TestLog().Has(L"JSON root is not an array of objects of strings"));
    }
}

}  // namespace
