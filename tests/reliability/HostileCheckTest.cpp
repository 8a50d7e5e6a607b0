// Hostile text given to the checker: nesting deep enough that any recursive walk, copy or dump
// of the parsed value overflows the stack, a 100 MB document, and a million unknown keys. The
// checker must give the load's verdict without crashing, keep only the first hundred findings
// with an exact count of the rest, and keep every message short.
#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include <tarvik/config/ConfigCheck.h>
#include "tests/support/TestSupport.h"

namespace tvd = tarvik::driver;
using tarvik::testsupport::nestedArrays;
using tarvik::testsupport::nestedObjects;

namespace {

constexpr std::size_t kDeepLevels = 100'000;
constexpr std::size_t kLongestMessage = 400;

void expectShortMessages(const tvd::ConfigCheck& check) {
    for (const auto& finding : check.findings) {
        EXPECT_LE(finding.message.size(), kLongestMessage) << finding.message.substr(0, 200);
    }
}

TEST(HostileCheckTest, DeepNestingInKnownAndUnknownPlacesIsJudgedWithoutDescending) {
    const std::string text = "{\"unknown\":" + nestedArrays(kDeepLevels) +
                             ",\"audio\":" + nestedObjects(kDeepLevels) +
                             ",\"detection\":{\"fftSize\":" + nestedArrays(kDeepLevels) +
                             ",\"x\":" + nestedObjects(kDeepLevels) + "},\"version\":3}";
    const tvd::ConfigCheck check = tvd::checkConfigText(text);
    EXPECT_TRUE(check.usable);
    ASSERT_EQ(check.findings.size(), 4u);
    EXPECT_EQ(check.findings[0].key, "unknown");
    EXPECT_EQ(check.findings[1].key, "audio.a");
    EXPECT_EQ(check.findings[2].message,
              "detection.fftSize: found an array; expected an integer from -2147483648 to "
              "2147483647; the driver keeps its default 2048");
    EXPECT_EQ(check.findings[3].key, "detection.x");
    EXPECT_EQ(check.findings[3].line, 1u);
}

TEST(HostileCheckTest, DeepNestingAsTheWholeDocumentIsUnusable) {
    const tvd::ConfigCheck arrays = tvd::checkConfigText(nestedArrays(kDeepLevels));
    EXPECT_FALSE(arrays.usable);
    ASSERT_EQ(arrays.findings.size(), 1u);
    EXPECT_EQ(arrays.findings[0].kind, tvd::ConfigFinding::Kind::NotAnObject);

    // Unclosed: the parser stops at the end of the text, after the last bracket.
    const tvd::ConfigCheck unclosed =
        tvd::checkConfigText("{\"audio\":" + std::string(kDeepLevels, '['));
    EXPECT_FALSE(unclosed.usable);
    ASSERT_EQ(unclosed.findings.size(), 1u);
    EXPECT_EQ(unclosed.findings[0].kind, tvd::ConfigFinding::Kind::Syntax);
    EXPECT_EQ(unclosed.findings[0].line, 1u);
    EXPECT_EQ(unclosed.findings[0].column, 9u + kDeepLevels + 1u);
    expectShortMessages(unclosed);
}

TEST(HostileCheckTest, HundredMegabyteDocumentIsCheckedWithShortMessages) {
    constexpr std::size_t kSize = 100u * 1024u * 1024u;
    std::string text = "{\"training\":{\"dataFile\":7},\"version\":\"";
    text.append(kSize - text.size() - 2, 'p');
    text += "\"}";
    const tvd::ConfigCheck check = tvd::checkConfigText(text);
    EXPECT_TRUE(check.usable);
    ASSERT_EQ(check.findings.size(), 2u);
    EXPECT_EQ(check.findings[1].key, "version");
    expectShortMessages(check);
}

TEST(HostileCheckTest, HundredMegabyteUnclosedStringIsPlacedAtTheEnd) {
    constexpr std::size_t kSize = 100u * 1024u * 1024u;
    std::string text = "{\n\"padding\":\"";
    text.append(kSize - text.size(), 'p');
    const tvd::ConfigCheck check = tvd::checkConfigText(text);
    EXPECT_FALSE(check.usable);
    ASSERT_EQ(check.findings.size(), 1u);
    EXPECT_EQ(check.findings[0].line, 2u);
    EXPECT_EQ(check.findings[0].column, kSize - 2 + 1);
    expectShortMessages(check);
}

TEST(HostileCheckTest, MillionUnknownKeysGiveTheFirstHundredAndACount) {
    constexpr std::size_t kKeys = 1'000'000;
    std::string text = "{";
    for (std::size_t i = 0; i < kKeys; ++i) {
        text += "\"k" + std::to_string(i) + "\":0,";
    }
    text += "\"version\":2}";
    const tvd::ConfigCheck check = tvd::checkConfigText(text);
    EXPECT_TRUE(check.usable);
    ASSERT_EQ(check.findings.size(), tvd::kMaxReportedFindings);
    EXPECT_EQ(check.unreported, kKeys - tvd::kMaxReportedFindings);
    for (const auto& finding : check.findings) {
        EXPECT_EQ(finding.kind, tvd::ConfigFinding::Kind::UnknownKey);
        EXPECT_EQ(finding.line, 1u);
        EXPECT_NE(finding.column, 0u);
    }
}

TEST(HostileCheckTest, LongUnknownKeysGetNoSuggestionAndShortMessages) {
    std::string text = "{\"detection\":{";
    for (int i = 0; i < 200; ++i) {
        text += "\"" + std::string(100'000, static_cast<char>('a' + i % 26)) + std::to_string(i) +
                "\":1,";
    }
    text += "\"fftSize\":1}}";
    const tvd::ConfigCheck check = tvd::checkConfigText(text);
    EXPECT_EQ(check.findings.size() + check.unreported, 200u);
    for (const auto& finding : check.findings) {
        EXPECT_TRUE(finding.suggestion.empty());
    }
}

}  // namespace
