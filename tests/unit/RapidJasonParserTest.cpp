// The JSON text of a telemetry request's maps. (The data store's own reading and
// writing are shown through its document: QelJsonFormatTest and the reliability
// tests. The parser's section conversions have no caller in the program.)
#include "common/Platform.h"

#include "datastore/RapidJasonParser.h"

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

}  // namespace
