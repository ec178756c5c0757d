// The JSON conversions the data store and the telemetry text are built on:
// the exact text written, what is read back, and the texts refused as a whole.
#include "common/Platform.h"

#include "datastore/RapidJasonParser.h"
#include "tests/support/CaptureLog.h"

#include <gtest/gtest.h>


namespace {

TEST(RapidJasonParserTest, MapToJsonObjectWritesCompactTextInCodeUnitOrder)
{
    const struct {
        StringMap map;
        std::wstring text;
    } cases[] = {
        {{}, L"{}"},
        // Code-unit order: upper case sorts before lower case, "B" before "a".
        {{{L"a", L"1"}, {L"B", L"2"}, {L"_", L"3"}, {L"", L""}}, L"{\"\":\"\",\"B\":\"2\",\"_\":\"3\",\"a\":\"1\"}"},
        // Standard escaping: quotation mark, reverse solidus, control characters (NUL too).
        {{{L"q\"k", L"a\\b"}, {L"c", std::wstring(L"\b\f\n\r\t\x01\x1f\0", 8)}},
         L"{\"c\":\"\\b\\f\\n\\r\\t\\u0001\\u001F\\u0000\",\"q\\\"k\":\"a\\\\b\"}"},
        // The solidus and everything outside ASCII are written as they are.
        {{{L"path", L"C:/x"}, {L"\x00e9t\x00e9", L"\x20ac \xd83d\xde00"}},
         L"{\"path\":\"C:/x\",\"\x00e9t\x00e9\":\"\x20ac \xd83d\xde00\"}"},
    };
    CRapidJasonParser parser;
    for (const auto& c : cases) {
        std::wstring out = L"stale";
        ASSERT_EQ(parser.MapToJsonObject(c.map, out), 0u);
        EXPECT_EQ(out, c.text);
    }
}

TEST(RapidJasonParserTest, SectionsAreReadByNameAndALaterDuplicateWins)
{
    const std::wstring text = L" {\r\n \"s\" : {\"a\":\"1\",\"a\":\"\\u00e9\\n\\\"\",\"b\":\"3\"},\t\"t\":{\"a\":\"1\"},"
                              L"\"t\":{},\"P\":[{\"n\":\"1\"}],\"P\":[{\"n\":\"2\"},{}],\"E\":[]} ";
    CRapidJasonParser parser;
    NamedStringMaps objects;
    ASSERT_EQ(parser.JsonObjectToMap(text, objects), 0u);
    EXPECT_EQ(objects, (NamedStringMaps{{L"s", {{L"a", L"\x00e9\n\""}, {L"b", L"3"}}}, {L"t", {}}}));
    NamedRecordLists arrays;
    ASSERT_EQ(parser.JsonNamedArrayToVector(text, arrays), 0u);
    EXPECT_EQ(arrays, (NamedRecordLists{{L"P", {{{L"n", L"2"}}, {}}}})) << "the empty \"E\" is not reported";
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
    EXPECT_TRUE(back == (NamedStringMaps{{L"s", map}}));
}

TEST(RapidJasonParserTest, TextsOutsideTheDocumentShapeAreRefusedWhole)
{
    const std::wstring notString = L"JSON member oobe holds a value that is not a string";
    const std::wstring notRecords = L"JSON member Packages is not an array of objects of strings";
    const struct {
        std::wstring text, line;  // the text and the line it logs
    } cases[] = {
        {L"", L"Invalid jsonString argument"},
        {L"{} {}", L"Parse Error: 2"},                        // a second root
        {L"{\"a\":{},}", L"Parse Error: 4"},                  // trailing comma
        {L"// note\n{}", L"Parse Error: 3"},                  // comments are not JSON
        {L"{\"a\":{\"b\":\"x\ny\"}}", L"Parse Error: 10"},    // raw control character in a string
        {std::wstring(L"{}\0{}", 5), L"Parse Error: 2"},      // a NUL does not end the text
        {std::wstring(L"{\"a\":{\"b\":\"x\0\"}}", 14), L"Parse Error: 11"},
        {L"[]", L"JSON root is not an object"},
        {L"{\"oobe\":{\"oobestate\":1}}", notString},
        {L"{\"oobe\":{\"a\":\"1\",\"b\":{\"c\":\"d\"}}}", notString},
        {L"{\"Packages\":[\"p1\"]}", notRecords},
        {L"{\"Packages\":[{},{\"PkgID\":true}]}", notRecords},
        {L"{\"eula\":{},\"count\":3}", L"JSON member count is neither an object nor an array"},
    };
    CRapidJasonParser parser;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        NamedStringMaps objects = {{L"kept", {}}};
        NamedRecordLists arrays = {{L"kept", {{}}}};
        TestLog().Clear();
        EXPECT_EQ(parser.JsonObjectToMap(c.text, objects) + parser.JsonNamedArrayToVector(c.text, arrays), 2 * 87u);
        EXPECT_EQ(TestLog().Texts(), (std::vector<std::wstring>{c.line, c.line}));
        EXPECT_EQ(objects, (NamedStringMaps{{L"kept", {}}})) << "outputs untouched";
        EXPECT_EQ(arrays, (NamedRecordLists{{L"kept", {{}}}}));
    }
}

// A damaged or hostile file nests deeply: refused, without exhausting the stack.
TEST(RapidJasonParserTest, DeepNestingIsRefusedWithoutExhaustingTheStack)
{
    NamedStringMaps objects;
    TestLog().Clear();
    const std::wstring deep = std::wstring(1000000, L'[') + std::wstring(1000000, L']');
    EXPECT_EQ(CRapidJasonParser().JsonObjectToMap(L"{\"a\":" + deep + L"}", objects), 87u);
    EXPECT_TRUE(TestLog().Has(L"JSON member a is not an array of objects of strings"));
}

}  // namespace
