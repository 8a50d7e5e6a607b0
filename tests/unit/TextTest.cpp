// Hunts faults in the UTF-8 <-> wide conversions: a decoder that accepts malformed UTF-8 (so a
// corrupt document could smuggle overlong or surrogate forms into a device name), one that stops
// at an embedded NUL, and an encoder that emits invalid UTF-8 for characters without a UTF-8
// form instead of U+FFFD (which would make the next save throw).
#include <cstdint>

#include <tarvik/config/Config.h>
#include "tests/support/TestSupport.h"

namespace tarvik::driver {
namespace {

struct InvalidUtf8 {
    const char* name;
    const char* bytes;
};

void PrintTo(const InvalidUtf8& row, std::ostream* out) {
    *out << row.name;
}

class TextTest : public ::testing::TestWithParam<InvalidUtf8> {};

TEST_P(TextTest, MalformedUtf8IsRejectedAndLeavesOutputEmpty) {
    std::wstring out = L"previous";
    EXPECT_FALSE(utf8ToWide(GetParam().bytes, out));
    EXPECT_TRUE(out.empty());
}

const InvalidUtf8 kInvalidUtf8[] = {
    {"LoneFF", "\xFF"},
    {"OverlongTwoByteSlash", "\xC0\xAF"},
    {"OverlongThreeByte", "a\xE0\x80\xAF"},
    {"OverlongFourByte", "\xF0\x80\x80\xAF"},
    {"EncodedHighSurrogate", "\xED\xA0\x80"},
    {"EncodedLowSurrogate", "\xED\xBF\xBF"},
    {"AboveU10FFFF", "\xF4\x90\x80\x80"},
    {"LeadByteF5", "\xF5\x80\x80\x80"},
    {"TruncatedAtEnd", "ok\xE2\x82"},
    {"TruncatedBeforeAscii", "\xC3z"},
    {"StrayContinuation", "a\x80z"},
    {"FiveByteForm", "\xF8\x88\x80\x80\x80"},
};

INSTANTIATE_TEST_SUITE_P(Utf8, TextTest, ::testing::ValuesIn(kInvalidUtf8),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TextConversionTest, EmptyTextAndEmbeddedNulConvert) {
    std::wstring out = L"previous";
    EXPECT_TRUE(utf8ToWide("", out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(wideToUtf8(L""), "");
    ASSERT_TRUE(utf8ToWide(std::string("a\0b", 3), out));
    EXPECT_EQ(out, std::wstring(L"a\0b", 3));
    EXPECT_EQ(wideToUtf8(out), std::string("a\0b", 3));
}

TEST(TextConversionTest, ValidTextOfEveryLengthRoundTrips) {
    // One to four bytes, with the largest code point of each length.
    const std::string text =
        "A\x7F\xC3\xA4\xDF\xBF\xE4\xB8\x96\xEF\xBF\xBF\xF0\x9F\x8E\xA7\xF4\x8F\xBF\xBF";
    const std::wstring expected = L"A\x7F\u00e4\u07ff\u4e16\uffff\U0001F3A7\U0010FFFF";
    std::wstring out;
    ASSERT_TRUE(utf8ToWide(text, out));
    EXPECT_EQ(out, expected);
    EXPECT_EQ(wideToUtf8(expected), text);
}

TEST(TextConversionTest, CharactersWithoutUtf8FormBecomeReplacementCharacter) {
    const std::wstring lone = {L'a', static_cast<wchar_t>(0xD800), L'b',
                               static_cast<wchar_t>(0xDC00)};
    EXPECT_EQ(wideToUtf8(lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    if (sizeof(wchar_t) == 4) {  // 16-bit wide characters cannot hold values above 0xFFFF
        const std::wstring beyond = {L'x', static_cast<wchar_t>(std::uint32_t{0x110000})};
        EXPECT_EQ(wideToUtf8(beyond), "x\xEF\xBF\xBD");
    }
}

}  // namespace
}  // namespace tarvik::driver
