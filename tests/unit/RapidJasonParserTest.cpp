// The JSON text of a telemetry request's maps, beyond what the request test shows
// (code-unit order, the solidus). (The data store's own reading and
// writing are shown through its document: QelJsonFormatTest and the reliability
// tests. The parser's section conversions have no caller in the program.)
#include "common/Platform.h"

#include "datastore/RapidJasonParser.h"

#include <gtest/gtest.h>

namespace {

TEST(RapidJasonParserTest, MapToJsonObjectEscapesControlsAndKeepsNonAscii)
{
    const struct {
        StringMap map;
        std::wstring text;
    } cases[] = {
        // Standard escaping: quotation mark, reverse solidus, control characters (NUL too).
        {{{L"q\"k", L"a\\b"}, {L"c", std::wstring(L"\b\f\n\r\t\x01\x1f\0", 8)}},
         L"{\"c\":\"\\b\\f\\n\\r\\t\\u0001\\u001F\\u0000\",\"q\\\"k\":\"a\\\\b\"}"},
        // Everything outside ASCII is written as it is, a pair of surrogates too.
        {{{L"\x00e9t\x00e9", L"\x20ac \xd83d\xde00"}}, L"{\"\x00e9t\x00e9\":\"\x20ac \xd83d\xde00\"}"},
    };
    CRapidJasonParser parser;
    for (const auto& c : cases) {
        std::wstring out = L"stale";
        ASSERT_EQ(parser.MapToJsonObject(c.map, out), 0u);
        EXPECT_EQ(out, c.text);
    }
}

}  // namespace
