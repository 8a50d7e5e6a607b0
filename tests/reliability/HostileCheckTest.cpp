// Hostile text given to the checker: nesting deep enough that any recursive walk, copy or dump
// of the parsed value overflows the stack, a 100 MB document, a million unknown keys, keys
// written a million times, and random bytes and escapes in keys and values. The checker must
// give the load's verdict without crashing, keep only the first hundred findings with an exact
// count of the rest, and keep every message short and safe to print on a terminal.
#include <cstddef>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <tarvik/config/ConfigCheck.h>
#include "tests/support/TestSupport.h"

namespace tvd = tarvik::driver;
using tarvik::testsupport::nestedArrays;
using tarvik::testsupport::nestedObjects;
using tarvik::testsupport::terminalSafe;

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

TEST(HostileCheckTest, KeyWrittenAMillionTimesIsOneFinding) {
    constexpr std::size_t kTimes = 1'000'000;
    std::string text = "{";
    for (std::size_t i = 0; i < kTimes; ++i) {
        text += "\"version\":1,";
    }
    text += "\"audio\":{}}";
    const tvd::ConfigCheck check = tvd::checkConfigText(text);
    ASSERT_EQ(check.findings.size(), 1u);
    EXPECT_EQ(check.findings[0].kind, tvd::ConfigFinding::Kind::RepeatedKey);
    EXPECT_EQ(check.findings[0].message,
              "version: written 1000000 times in one object; the driver uses only this last one "
              "and ignores the 999999 before it, the first at 1:2");
}

// Random raw bytes (mostly not UTF-8, some that end a string or the text) and escaped code
// points that act on a terminal, in keys, values and sections: whatever the verdict, no message
// or hint carries them unescaped.
TEST(HostileCheckTest, NoMessageOrHintActsOnATerminal) {
    static const char* const kEscapes[] = {"\\u001b", "\\u0007", "\\u007f", "\\u0085",
                                           "\\u009b", "\\u202e", "\\u2066", "\\u2028",
                                           "\\n",     "\\ud800", "\\u0000"};
    std::mt19937 random(22);
    const auto piece = [&random] {
        std::string text;
        for (auto n = random() % 12; n > 0; --n) {
            switch (random() % 4) {
                case 0:
                    text += static_cast<char>(random() % 256);
                    break;
                case 1:
                    text += kEscapes[random() % std::size(kEscapes)];
                    break;
                default:
                    text += static_cast<char>('a' + random() % 26);
                    break;
            }
        }
        return text;
    };
    std::size_t usable = 0;
    for (int i = 0; i < 20'000; ++i) {
        const std::string text = "{\"" + piece() + "\": \"" + piece() + "\", \"version\": \"" +
                                 piece() + "\", \"audio\": {\"" + piece() + "\": 1}}";
        const tvd::ConfigCheck check = tvd::checkConfigText(text);
        usable += check.usable ? 1 : 0;
        for (const auto& finding : check.findings) {
            ASSERT_TRUE(terminalSafe(finding.message)) << finding.message;
            ASSERT_TRUE(terminalSafe(finding.hint)) << finding.hint;
        }
    }
    EXPECT_GT(usable, 100u);  // both verdicts were tried
    EXPECT_LT(usable, 19'900u);
}

}  // namespace
