// The pure readers of the signature check: how policy-file bytes split into
// signed text and signature block, the sections of that text, object
// identifiers, and what a signature area may hold. The fuzz targets policy and
// der check every answer of the first three at every test run (fuzz/): here
// are the accepted twins (a reader that refuses too much passes them), each
// refusal's reason once, and the rows their findings left.
#include "trust/DerReader.h"
#include "trust/PolicyText.h"
#include "trust/SignatureArea.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Utf16(const std::wstring& text, bool bom)
{
    std::vector<uint8_t> bytes;
    if (bom) bytes = {0xFF, 0xFE};
    for (wchar_t c : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)});
    return bytes;
}

TEST(PolicyTextTest, OnlyTheTextBeforeExactlyOneSignatureBlockAtTheEndIsSigned)
{
    const std::wstring begin = L"// SIG // Begin signature block", end = L"// SIG // End signature block";
    const std::wstring block = begin + L"\r\n// SIG // AQID\r\n" + end;
    const struct {
        std::wstring text;
        bool bom;
        const wchar_t* refusal;  // null: split, the text before the block is "[VER]\r\n6"
    } kCases[] = {
        {L"[VER]\r\n6\r\n" + block + L"\r\n", true, nullptr},
        {L"[VER]\r\n6\r\n" + block + L"\r\n", false, nullptr},
        {L"[VER]\r\n6\r\n" + block, true, nullptr},
        {L"[VER]\r\n6\r\n" + block + L"\r\n\r\n\n", true, nullptr},
        {L"[VER]\r\n6\r\n" + begin + L"\r\n// SIG // AQ\r\n// SIG // ID\r\n" + end + L"\r\n", true, nullptr},
        {L"[VER]\r\n6\r\n" + block + L"\r\n" + block + L"\r\n", true, L"text follows its signature block"},
        {L"[VER]\r\n6\r\n", true, L"it carries no signature block"},
        {block + L"\r\n", true, L"its signature block does not start on a line of its own after its text"},
        {L"[VER]\r\n6\r\n" + begin + L"\r\n// SIG // AQID\r\n", true, L"its signature block has no end"},
        {L"[VER]\r\n6\r\n" + begin + L"\r\nAQID\r\n" + end, true,
         L"its signature block holds a line that is not a signature line"},
        {L"[VER]\r\n6\r\n" + begin + L"\r\n// SIG // AQI*\r\n" + end, true, L"its signature block cannot be decoded"},
    };
    for (const auto& c : kCases) {
        const std::vector<uint8_t> bytes = Utf16(c.text, c.bom);
        PolicyScript script;
        std::wstring reason;
        EXPECT_EQ(SplitPolicyScript(bytes, script, reason), c.refusal == nullptr) << testing::PrintToString(c.text);
        EXPECT_EQ(reason, c.refusal ? c.refusal : L"") << testing::PrintToString(c.text);
        if (c.refusal) continue;
        EXPECT_EQ(script.text, L"[VER]\r\n6");
        EXPECT_EQ(script.signedBytes, (c.bom ? 2u : 0u) + 2 * script.text.size());  // up to the line break before the block
        EXPECT_EQ(script.signature, (std::vector<uint8_t>{1, 2, 3}));
    }
    // Line feeds alone end lines too; an odd number of bytes is no UTF-16 text.
    PolicyScript script;
    std::wstring reason;
    EXPECT_TRUE(SplitPolicyScript(Utf16(L"[VER]\n6\n" + begin + L"\n// SIG // AQID\n" + end + L"\n", false), script, reason));
    EXPECT_EQ(script.text, L"[VER]\n6");
    std::vector<uint8_t> odd = Utf16(L"[VER]\r\n6\r\n" + block, true);
    odd.push_back(0);
    EXPECT_FALSE(SplitPolicyScript(odd, script, reason));
    EXPECT_EQ(reason, L"it cannot be read as UTF-16 text");
}

TEST(PolicyTextTest, WhyAVersionIsRefused)
{
    const std::pair<const wchar_t*, const wchar_t*> kCases[] = {
        {L"[VER]\r\n6\r\n7", L"its [VER] section must hold exactly one line"},
        {L"[VER]\r\n6a", L"its version \"6a\" is not a decimal number"},
    };
    for (const auto& [text, refusal] : kCases) {
        PolicySections policy;
        std::wstring reason;
        EXPECT_FALSE(ParsePolicySections(text, policy, reason));
        EXPECT_EQ(reason, refusal);
    }
}

// Arcs of more than 64 bits, as OpenSSL reads them (a finding of the der_diff fuzz target).
TEST(PolicyTextTest, ObjectIdentifiersWithArcsBeyond64Bits)
{
    const std::pair<std::vector<uint8_t>, std::string> kCases[] = {
        {{0x2A, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x01}, "1.2.9369193840401056897"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, "2.1180591620717411303343"},
    };
    for (const auto& [value, expected] : kCases) {
        std::string text;
        EXPECT_TRUE(der::OidText({value.data(), value.size()}, text)) << testing::PrintToString(value);
        EXPECT_EQ(text, expected);
    }
}

TEST(PolicyTextTest, ASignatureAreaHoldsTheSignatureAndItsAlignmentOnly)
{
    const std::vector<uint8_t> der = {0x30, 0x03, 0x02, 0x01, 0x05};
    const auto area = [&](std::vector<uint8_t> header, size_t zeros, std::vector<uint8_t> tail = {}) {
        header.insert(header.end(), der.begin(), der.end());
        header.insert(header.end(), zeros, 0);
        header.insert(header.end(), tail.begin(), tail.end());
        return header;
    };
    const std::vector<uint8_t> entry = {16, 0, 0, 0, 0x00, 0x02, 0x02, 0x00};  // WIN_CERTIFICATE of 16 bytes
    const struct {
        std::vector<uint8_t> bytes;
        bool table, holds;
    } kCases[] = {
        {area({}, 7), false, true},
        {area({}, 8), false, false},
        {area({}, 3, {'x'}), false, false},
        {{0x30, 0x09, 0x02, 0x01, 0x05}, false, false},  // cut short
        {area(entry, 3), true, true},
        {area(entry, 11), true, false},
        {area({16, 0, 0, 0, 0x00, 0x01, 0x02, 0x00}, 3), true, false},  // another revision
        {area({16, 0, 0, 0, 0x00, 0x02, 0x01, 0x00}, 3), true, false},  // an X.509 entry
        {area({12, 0, 0, 0, 0x00, 0x02, 0x02, 0x00}, 3), true, false},  // its length stops inside the signature
        {area({17, 0, 0, 0, 0x00, 0x02, 0x02, 0x00}, 3), true, false},  // ... or past the table
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(HoldsOnlySignature(c.bytes, c.table), c.holds) << testing::PrintToString(c.bytes);
    }
}

}  // namespace
