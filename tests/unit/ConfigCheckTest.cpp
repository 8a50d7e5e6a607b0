// Hunts a checker that disagrees with the load: a value reported as skipped that from_json takes
// (or the reverse), a usable document called unusable, a syntax error placed on the wrong line
// or column (bytes counted as characters, a byte-order mark counted, a lone CR not counted as a
// line end, a repeated key placed at its first occurrence, a top-level "detection.fftSize"
// taken for the key inside "detection"), a suggestion that points at the wrong key, a message
// that loses what was found or what the driver keeps, a key written twice that goes unreported,
// a hand-editing mistake left without its hint (or a hint at the wrong place), text of the file
// that reaches a message unescaped, and a float shown in more digits than it needs.
#include <gtest/gtest.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigKeys.h>
#include "tests/support/TestSupport.h"

namespace tarvik::driver {
namespace {

std::string place(std::size_t line, std::size_t column) {
    return std::to_string(line) + ":" + std::to_string(column);
}

// "line:column: message" per finding (with " [first line:column]" for a repeated key), then
// "line:column: note: hint" at the place of its hint when it has one; "+N" for unreported ones.
std::vector<std::string> render(const ConfigCheck& check) {
    std::vector<std::string> lines;
    for (const ConfigFinding& finding : check.findings) {
        std::string line = place(finding.line, finding.column) + ": " + finding.message;
        if (finding.firstLine != 0) {
            line += " [first " + place(finding.firstLine, finding.firstColumn) + "]";
        }
        lines.push_back(line);
        if (!finding.hint.empty()) {
            lines.push_back((finding.hintLine != 0 ? place(finding.hintLine, finding.hintColumn)
                                                   : place(finding.line, finding.column)) +
                            ": note: " + finding.hint);
        }
    }
    if (check.unreported > 0) {
        lines.push_back("+" + std::to_string(check.unreported));
    }
    return lines;
}

struct CheckCase {
    const char* name;
    std::string document;
    bool usable;
    std::vector<std::string> findings;
};

void PrintTo(const CheckCase& row, std::ostream* out) {
    *out << row.document;
}

class ConfigCheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ConfigCheckTest, ReportsEveryFindingAtItsPlace) {
    const ConfigCheck check = checkConfigText(GetParam().document);
    EXPECT_EQ(check.usable, GetParam().usable);
    EXPECT_EQ(render(check), GetParam().findings);
}

const std::string kInt32 = "expected an integer from -2147483648 to 2147483647";

const std::string kUnknown = ": unknown key, ignored by the driver (an update keeps it)";
const std::string kOneObject = "note: a settings document is one object: { \"version\": 1, ... }";
const std::string kKeepOne = "note: keep one of them: merge what the others say into it";
const std::string kBackslash =
    "note: in JSON a backslash starts an escape: write each \\ of a Windows path as \\\\ or as / "
    "(\"C:\\\\Users\\\\...\" or \"C:/Users/...\")";
const std::string kSaveAsUtf8 =
    ", which JSON readers do not take: save it as UTF-8 (Notepad: Save As, Encoding: UTF-8)";

const CheckCase kCheckCases[] = {
    {"EmptyObject", "{}", true, {}},
    {"NullsThatMeanNotSet",
     R"({"audio": {"deviceId": null}, "steamvr": {"customActionBinding": null},
         "training": {"lastTrainedTimestamp": null}})",
     true,
     {}},
    {"StringForInteger",
     "{\n    \"detection\": {\n        \"fftSize\": \"4096\"\n    }\n}",
     true,
     {"3:9: detection.fftSize: found a string \"4096\"; " + kInt32 +
      "; the driver keeps its default 2048"}},
    {"MisspeltKey",
     R"({"detection": {"fftsize": 4096}})",
     true,
     {"1:16: \"detection.fftsize\"" + kUnknown + "; did you mean detection.fftSize?"}},
    {"OutOfRangeAndFractional",
     R"({"audio": {"bufferSizeMs": 2147483648}, "detection": {"fftSize": 2048.0}})",
     true,
     {"1:12: audio.bufferSizeMs: found the integer 2147483648; " + kInt32 +
          "; the driver keeps its default 10",
      "1:55: detection.fftSize: found the number 2048.0; " + kInt32 +
          "; the driver keeps its default 2048"}},
    // Floats as people write them: the range and the default in their shortest forms.
    {"SensitivityBeyondFloat",
     R"({"detection": {"sensitivity": 1e39}})",
     true,
     {"1:16: detection.sensitivity: found the number 1e+39; expected a number from "
      "-3.4028235e+38 to 3.4028235e+38; the driver keeps its default 0.7"}},
    {"SectionNotAnObject",
     "{\"audio\": {\"bufferSizeMs\": 5},\n \"detection\": [1]}",
     true,
     {"2:2: detection: found an array; expected an object; the driver keeps the defaults of "
      "every detection key"}},
    {"WrongTypesEverywhere",
     R"({"version": "2", "shownTrayNotification": 1, "steamvr": {"dashboardClickEnabled": "true",
 "customActionBinding": 5}, "training": {"dataFile": null, "lastTrainedTimestamp": 1.5}})",
     true,
     {"1:2: version: found a string \"2\"; " + kInt32 + "; the driver keeps its default 1",
      "1:18: shownTrayNotification: found the integer 1; expected true or false; the driver "
      "keeps its default false",
      "1:58: steamvr.dashboardClickEnabled: found a string \"true\"; expected true or false; "
      "the driver keeps its default true",
      "2:2: steamvr.customActionBinding: found the integer 5; expected a string, or null for "
      "not set; the driver keeps its default null",
      "2:42: training.dataFile: found null; expected a string; the driver keeps its default "
      "\"training_data.bin\"",
      "2:60: training.lastTrainedTimestamp: found the number 1.5; expected whole seconds since "
      "1970 (an integer from -922337203685 to 922337203685), or null for never; the driver "
      "keeps its default null"}},
    {"UnknownKeysWithAndWithoutSuggestion",
     R"({"Version": 2, "fftSize": 1, "colour": "red"})",
     true,
     {"1:2: \"Version\"" + kUnknown + "; did you mean version?",
      "1:16: \"fftSize\"" + kUnknown + "; did you mean detection.fftSize?",
      "1:30: \"colour\"" + kUnknown}},
    {"LongStringIsCut",
     R"({"version": "0123456789012345678901234567890123456789ABCDEFG"})",
     true,
     {"1:2: version: found a string \"0123456789012345678901234567890123456789\"...; " + kInt32 +
      "; the driver keeps its default 1"}},
    {"ColumnsCountCharactersNotBytes",
     "{\"\xC3\xA4\": 1, \"b\": 1}",
     true,
     {"1:2: \"\xC3\xA4\"" + kUnknown, "1:10: \"b\"" + kUnknown}},
    {"ByteOrderMarkIsNotAColumn", "\xEF\xBB\xBF{\"x\": 1}", true, {"1:2: \"x\"" + kUnknown}},
    {"EscapedQuoteInAKey",
     R"({"a\"b": 1, "c\\": 2})",
     true,
     {"1:2: \"a\\\"b\"" + kUnknown, "1:13: \"c\\\\\"" + kUnknown}},
    {"UnknownKeyInsideASectionIsNotFollowedDeeper",
     R"({"audio": {"extra": {"bufferSizeMs": "x"}}})",
     true,
     {"1:12: \"audio.extra\"" + kUnknown}},

    // Lines end at LF, CR LF and a lone CR (old Mac files); a CR LF is one line end.
    {"LoneCarriageReturnsEndLines",
     "{\r\"audio\": {\r\"bufferSizeMs\": \"x\"}}",
     true,
     {"3:1: audio.bufferSizeMs: found a string \"x\"; " + kInt32 +
      "; the driver keeps its default 10"}},
    {"CarriageReturnLineFeedIsOneLineEnd",
     "{\r\n\r\n  \"version\": \"x\"}",
     true,
     {"3:3: version: found a string \"x\"; " + kInt32 + "; the driver keeps its default 1"}},
    // A dot in a top-level key is part of its name: it is its own key, at its own place, in
    // either order.
    {"TopLevelDottedKeyAfterTheSection",
     "{\"detection\": {\"fftSize\": \"x\"},\n \"detection.fftSize\": 1}",
     true,
     {"1:16: detection.fftSize: found a string \"x\"; " + kInt32 +
          "; the driver keeps its default 2048",
      "2:2: \"detection.fftSize\"" + kUnknown,
      "2:2: note: a dot does not lead into a section: write \"fftSize\" inside the "
      "\"detection\" object instead"}},
    {"TopLevelDottedKeyBeforeTheSection",
     "{\"detection.fftSize\": 1,\n \"detection\": {\"fftSize\": \"x\"}}",
     true,
     {"1:2: \"detection.fftSize\"" + kUnknown,
      "1:2: note: a dot does not lead into a section: write \"fftSize\" inside the "
      "\"detection\" object instead",
      "2:16: detection.fftSize: found a string \"x\"; " + kInt32 +
          "; the driver keeps its default 2048"}},

    // Keys written twice: only the last counts; reported at it, with the first.
    {"RepeatedKeyCountsItsLastValue",
     "{\"version\": \"x\",\n \"version\": 3}",
     true,
     {"2:2: version: written 2 times in one object; the driver uses only this last one and "
      "ignores the one at 1:2 [first 1:2]",
      "2:2: " + kKeepOne}},
    {"RepeatedKeyIsPlacedAtItsLastOccurrence",
     "{\"version\": 3,\n \"version\": \"x\"}",
     true,
     {"2:2: version: found a string \"x\"; " + kInt32 + "; the driver keeps its default 1",
      "2:2: version: written 2 times in one object; the driver uses only this last one and "
      "ignores the one at 1:2 [first 1:2]",
      "2:2: " + kKeepOne}},
    {"RepeatedSectionHidesTheFirst",
     "{\"detection\": {\"fftSize\": 4096},\n \"audio\": {},\n \"detection\": {\"cooldownMs\": 5}}",
     true,
     {"3:2: detection: written 2 times in one object; the driver uses only this last one and "
      "ignores the one at 1:2 [first 1:2]",
      "3:2: " + kKeepOne}},
    {"KeyRepeatedThreeTimesInsideASection",
     R"({"audio": {"bufferSizeMs": 1, "bufferSizeMs": 2, "bufferSizeMs": 3, "x": 0, "x": 1}})",
     true,
     {"1:50: audio.bufferSizeMs: written 3 times in one object; the driver uses only this last "
      "one and ignores the 2 before it, the first at 1:12 [first 1:12]",
      "1:50: " + kKeepOne, "1:77: \"audio.x\"" + kUnknown + "; did you mean audio?",
      "1:77: \"audio.x\": written 2 times in one object; the driver uses only this last one and "
      "ignores the one at 1:69 [first 1:69]",
      "1:77: " + kKeepOne}},
    // Inside a section that a later one replaces nothing counts, so nothing there is reported.
    {"RepeatInAReplacedSectionIsNotReported",
     R"({"audio": {"bufferSizeMs": 1, "bufferSizeMs": 2}, "audio": {"bufferSizeMs": 3}})",
     true,
     {"1:51: audio: written 2 times in one object; the driver uses only this last one and "
      "ignores the one at 1:2 [first 1:2]",
      "1:51: " + kKeepOne}},

    // Nothing of the file reaches a message unescaped: controls, DEL, C1, bidi, invalid UTF-8.
    {"KeyWithTerminalControlsIsEscaped",
     R"({"\u001b]0;owned\u0007\u001b[2J": 1, "a\u007fb\u009b\u202ec\n": 2})",
     true,
     {"1:2: \"\\u001B]0;owned\\u0007\\u001B[2J\"" + kUnknown,
      "1:38: \"a\\u007Fb\\u009B\\u202Ec\\n\"" + kUnknown}},
    {"ValueWithTerminalControlsIsEscaped",
     R"({"version": "\u001b[31mred\u0085"})",
     true,
     {"1:2: version: found a string \"\\u001B[31mred\\u0085\"; " + kInt32 +
      "; the driver keeps its default 1"}},
    {"InvalidUtf8InATokenIsShownAsBytes",
     "{\"a\": \"x\xFF\xC3\"}",
     false,
     {"1:9: syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last "
      "read: '\"x\\xFF'"}},

    // Unusable documents: one finding, where the parser stopped, and a hint for the usual
    // mistakes.
    {"EmptyText",
     "",
     false,
     {"1:1: syntax error while parsing value - unexpected end of input; expected '[', '{', or "
      "a literal",
      "1:1: note: the file is empty (nothing but white space); the smallest settings document "
      "is {}"}},
    {"TrailingCommaIsPointedAt",
     "{\n    \"version\": 2,\n}",
     false,
     {"3:1: syntax error while parsing object key - unexpected '}'; expected string literal",
      "2:17: note: remove this comma: JSON allows no comma after the last member of an object"}},
    {"TrailingCommaInAnArray",
     "{\"a\": [1, 2,\r\n  ]}",
     false,
     {"2:3: syntax error while parsing value - unexpected ']'; expected '[', '{', or a literal",
      "1:12: note: remove this comma: JSON allows no comma after the last element of an array"}},
    {"StrayComma",
     "{,}",
     false,
     {"1:2: syntax error while parsing object key - unexpected ','; expected string literal"}},
    {"BlockComment",
     "{\n  /* no */ }",
     false,
     {"2:3: syntax error while parsing object key - invalid literal; last read: '{<U+000A>  /'; "
      "expected string literal",
      "2:3: note: comments (// and /* */) are not JSON: remove the comment"}},
    {"LineComment",
     "{\"version\": 2 // two\n}",
     false,
     {"1:15: syntax error while parsing object - invalid literal; last read: '2 /'; expected "
      "'}'",
      "1:15: note: comments (// and /* */) are not JSON: remove the comment"}},
    {"SingleQuotes",
     "{'version': 2}",
     false,
     {"1:2: syntax error while parsing object key - invalid literal; last read: '{''; "
      "expected string literal",
      "1:2: note: single quotes are not JSON: write keys and strings in double quotes "
      "(\"fftSize\")"}},
    {"WindowsPathWithSingleBackslashes",
     R"({"training": {"dataFile": "C:\Data\x.bin"}})",
     false,
     {"1:31: syntax error while parsing value - invalid string: forbidden character after "
      "backslash; last read: '\"C:\\D'",
      "1:31: " + kBackslash}},
    {"WindowsPathWithBackslashU",
     R"({"training": {"dataFile": "C:\users\x.bin"}})",
     false,
     {"1:32: syntax error while parsing value - invalid string: '\\u' must be followed by 4 "
      "hex digits; last read: '\"C:\\us'",
      "1:32: " + kBackslash}},
    {"Utf16LittleEndianWithMark",
     std::string("\xFF\xFE{\0}\0", 6),
     false,
     {"1:1: syntax error while parsing value - invalid literal; last read: '\\xFF'",
      "1:1: note: the file is saved as UTF-16 (little-endian)" + kSaveAsUtf8}},
    // The parser takes a NUL byte for the end of the text.
    {"Utf16WithoutMark",
     std::string("{\0}\0", 4),
     false,
     {"1:2: syntax error while parsing object key - unexpected end of input; expected string "
      "literal",
      "1:2: note: the file is saved as UTF-16 (little-endian)" + kSaveAsUtf8}},
    {"TextAfterTheObject",
     "{\"a\":1} x",
     false,
     {"1:9: syntax error while parsing value - invalid literal; last read: '1} x'; expected "
      "end of input"}},
    {"NumberBeyondDouble", "{\"a\": 1e400}", false, {"1:11: number overflow parsing '1e400'"}},
    {"UnclosedStringLongTokenIsCut",
     "{\"a\": \"ppppppppppppppppppppppppppppppppppppppppppppppppppp",
     false,
     {"1:59: syntax error while parsing value - invalid string: missing closing quote; last "
      "read: '...pppppppppppppppppppppppppppppppppppppppp'"}},
    {"Array",
     "[1]",
     false,
     {"1:1: the document is an array, not a JSON object", "1:1: " + kOneObject}},
    {"StringAfterBlanks",
     "\n  \"x\"",
     false,
     {"2:3: the document is a string, not a JSON object", "2:3: " + kOneObject}},
    {"Null", "null", false, {"1:1: the document is null, not a JSON object", "1:1: " + kOneObject}},
};

INSTANTIATE_TEST_SUITE_P(Documents, ConfigCheckTest, ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Hand-editing mistakes, one a line: the text, the place the hint concerns (its own place where
// it has one: the end of the line that lacks a comma; else the finding's), and words the
// finding must say. Catches a hint that is missing, points at the wrong place, or names the
// wrong mistake (a UTF-32 mark compared as a literal cut at its first NUL reads as UTF-16).
struct HintCase {
    const char* name;
    std::string text;
    std::size_t line;
    std::size_t column;
    const char* words;
};

void PrintTo(const HintCase& row, std::ostream* out) {
    *out << row.name;
}

class EditingHintTest : public ::testing::TestWithParam<HintCase> {};

TEST_P(EditingHintTest, PointsAtTheMistakeAndSaysWhatToWrite) {
    const ConfigCheck check = checkConfigText(GetParam().text);
    ASSERT_EQ(check.findings.size(), 1U) << testing::PrintToString(render(check));
    const ConfigFinding& finding = check.findings.front();
    const bool ownPlace = finding.hintLine != 0;
    EXPECT_EQ(place(ownPlace ? finding.hintLine : finding.line,
                    ownPlace ? finding.hintColumn : finding.column),
              place(GetParam().line, GetParam().column));
    const std::string said = finding.message + "\n" + finding.hint;
    EXPECT_NE(said.find(GetParam().words), std::string::npos) << said;
}

const HintCase kHintCases[] = {
    // name, text, line, column (of the hint), words
    {"CommaMissingAfterANumber", "{\n    \"version\": 2\n    \"audio\": {}\n}", 2, 17,
     "add a comma here: JSON separates the members of an object with commas"},
    {"CommaMissingAfterAString", "{\"audio\": {\"deviceId\": \"x\"\n  \"bufferSizeMs\": 5}}", 1, 27,
     "add a comma here"},
    {"CommaMissingAfterAnObject", "{\"audio\": {}\n \"version\": 1}", 1, 13, "add a comma here"},
    {"CommaMissingWithCrLf", "{\r\n  \"version\": \"2\"\r\n  \"audio\": {}\r\n}", 2, 17,
     "add a comma here"},
    {"CommaMissingInAnArray", "{\"a\": [1\n  2]}", 1, 9, "the elements of an array with commas"},
    {"SemicolonForAComma", "{\"version\": 2; \"audio\": {}}", 1, 14, "not a semicolon: write ,"},
    {"CapitalTrue", "{\"steamvr\": {\"dashboardClickEnabled\": True}}", 1, 39, "write true"},
    {"CapitalFalse", "{\"shownTrayNotification\": False}", 1, 27, "write false"},
    {"PythonNone", "{\"audio\": {\"deviceId\": None}}", 1, 24, "write null"},
    {"LowerCaseNone", "{\"audio\": {\"deviceId\": none}}", 1, 25, "write null"},
    {"NaN", "{\"detection\": {\"sensitivity\": NaN}}", 1, 31, "no NaN or Infinity"},
    {"MinusInfinity", "{\"detection\": {\"sensitivity\": -Infinity}}", 1, 32, "no NaN or Infinity"},
    {"UnquotedKey", "{\n    version: 2\n}", 2, 5, "keys in double quotes: write \"version\""},
    {"UnquotedKeyStoppedMidWord", "{\"detection\": {\"cooldownMs\": 5, fftSize: 4096}}", 1, 34,
     "write \"fftSize\""},
    {"Utf32LittleEndianMark", std::string("\xFF\xFE\0\0{\0\0\0}\0\0\0", 12), 1, 1,
     "saved as UTF-32 (little-endian)"},
    {"Utf32BigEndianMark", std::string("\0\0\xFE\xFF\0\0\0{\0\0\0}", 12), 1, 1,
     "saved as UTF-32 (big-endian)"},
    {"Utf16BigEndianMark", std::string("\xFE\xFF\0{\0}", 6), 1, 1, "saved as UTF-16 (big-endian)"},
    // Usable documents: values the driver takes as they are, reported at their key.
    {"WindowsPathWithEscapes", R"({"training": {"dataFile": "C:\temp\new\records.bin"}})", 1, 15,
     "control characters that escapes wrote (\\t, \\n, \\r)"},
    {"WindowsPathHint", R"({"training": {"dataFile": "C:\temp\new\records.bin"}})", 1, 15,
     "write each \\ of a Windows path as \\\\ or as /"},
    {"DeviceNameWithABackspace", R"({"audio": {"deviceNamePattern": "Beyond\b"}})", 1, 12,
     "\"Beyond\\b\" as it is, with control characters that escapes wrote (\\b)"},
    {"BindingWithAnEscapedControl", R"({"steamvr": {"customActionBinding": "/a\u0001"}})", 1, 14,
     "(\\u0001)"},
    {"NegativeBuffer", "{\"audio\": {\"bufferSizeMs\": -5}}", 1, 12,
     "audio.bufferSizeMs: the driver takes -5 as it is, but no buffer is shorter than 0 ms"},
    {"NegativeCooldown", "{\"detection\": {\"cooldownMs\": -1}}", 1, 16,
     "no pause is shorter than 0 ms"},
    {"NegativeDuration", "{\n\"detection\": {\n\"minDurationMs\": -300}}", 3, 1,
     "no duration is shorter than 0 ms"},
    {"FftSizeZero", "{\"detection\": {\"fftSize\": 0}}", 1, 16,
     "a transform needs at least 1 sample"},
};

INSTANTIATE_TEST_SUITE_P(Mistakes, EditingHintTest, ::testing::ValuesIn(kHintCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What people write on purpose gets no finding: the least values that mean something, paths
// with their backslashes doubled or written as /, a bare word that is no other language's
// literal (the parser's own message is enough there).
TEST(EditingHintTest, ValuesMeantAsWrittenAreNotQuestioned) {
    const ConfigCheck check = checkConfigText(R"({"audio": {"bufferSizeMs": 0,
        "deviceNamePattern": "a\\b"}, "detection": {"cooldownMs": 0, "minDurationMs": 0,
        "fftSize": 1}, "training": {"dataFile": "C:\\temp\\new.bin"},
        "steamvr": {"customActionBinding": "C:/temp/x"}, "version": -1})");
    EXPECT_TRUE(check.usable);
    EXPECT_EQ(render(check), std::vector<std::string>{});

    const ConfigCheck bare = checkConfigText("{\"a\": yes}");
    ASSERT_EQ(bare.findings.size(), 1U);
    EXPECT_EQ(bare.findings.front().hint, "");
}

// The values the driver takes as they are keep what the driver does: the kinds say so.
TEST(EditingHintTest, TakenValuesAreFindingsThatLoseNothing) {
    const ConfigCheck check = checkConfigText(
        R"({"detection": {"fftSize": 0}, "training": {"dataFile": "a\tb"}, "version": "x"})");
    ASSERT_EQ(check.findings.size(), 3U);
    EXPECT_EQ(check.findings[0].kind, ConfigFinding::Kind::Implausible);
    EXPECT_EQ(check.findings[1].kind, ConfigFinding::Kind::ControlInText);
    EXPECT_EQ(check.findings[2].kind, ConfigFinding::Kind::SkippedValue);
    EXPECT_TRUE(check.findings[0].taken());
    EXPECT_TRUE(check.findings[1].taken());
    EXPECT_FALSE(check.findings[2].taken());
}

// A record in which no field holds a value that the documents below use, so that a field
// the overlay changed is always visible.
Config marked() {
    Config c;
    c.version = 7;
    c.audio = {L"kept", L"kept-id", 11};
    c.detection = {0.25f, 12, 13, 14};
    c.steamvr = {false, "kept-binding"};
    c.training = {"kept.bin", TimePoint(Ticks(10'000'000'000))};
    c.shownTrayNotification = true;
    return c;
}

// The line of testsupport::describe() that shows the field of `key`.
std::string describedField(const std::string& described, const ConfigKey& key) {
    static const std::pair<const char*, const char*> kLabels[] = {
        {"version", "version="},
        {"audio.deviceNamePattern", "pattern="},
        {"audio.deviceId", "deviceId="},
        {"audio.bufferSizeMs", "bufferSizeMs="},
        {"detection.sensitivity", "sensitivity="},
        {"detection.minDurationMs", "minDurationMs="},
        {"detection.cooldownMs", "cooldownMs="},
        {"detection.fftSize", "fftSize="},
        {"steamvr.dashboardClickEnabled", "click="},
        {"steamvr.customActionBinding", "binding="},
        {"training.dataFile", "dataFile="},
        {"training.lastTrainedTimestamp", "lastTrained="},
        {"shownTrayNotification", "tray="},
    };
    for (const auto& [name, label] : kLabels) {
        if (key.name == std::string(name)) {
            const auto start = described.find(std::string("\n") + label);
            const auto at = start == std::string::npos ? described.find(label) : start + 1;
            return described.substr(at, described.find('\n', at) - at);
        }
    }
    return "no label for " + std::string(key.name);
}

// The same documents through from_json and through the checker: a known key has a finding
// exactly when from_json left its field alone although the key was there with a value that
// is not null-for-not-set.
TEST(ConfigCheckAgreementTest, FindingsAreExactlyTheValuesFromJsonSkips) {
    const char* const documents[] = {
        R"({"version": 2, "audio": {"deviceNamePattern": "x", "deviceId": "y",
            "bufferSizeMs": 20}, "detection": {"sensitivity": 1, "minDurationMs": 1,
            "cooldownMs": 2, "fftSize": 3}, "steamvr": {"dashboardClickEnabled": true,
            "customActionBinding": "b"}, "training": {"dataFile": "d",
            "lastTrainedTimestamp": 5}, "shownTrayNotification": false})",
        R"({"version": "2", "audio": {"deviceNamePattern": 1, "deviceId": [],
            "bufferSizeMs": 20.0}, "detection": {"sensitivity": "1", "minDurationMs": true,
            "cooldownMs": null, "fftSize": {}}, "steamvr": {"dashboardClickEnabled": 1,
            "customActionBinding": false}, "training": {"dataFile": null,
            "lastTrainedTimestamp": 5.5}, "shownTrayNotification": "false"})",
        R"({"version": 2147483648, "audio": {"bufferSizeMs": -2147483649},
            "detection": {"sensitivity": 1e39, "minDurationMs": -2147483648,
            "cooldownMs": 2147483647, "fftSize": 18446744073709551615},
            "training": {"lastTrainedTimestamp": 922337203686}})",
        R"({"training": {"lastTrainedTimestamp": null}, "audio": {"deviceId": null},
            "steamvr": {"customActionBinding": null}, "detection": {"sensitivity": -3.4e38}})",
        R"({"training": {"lastTrainedTimestamp": -922337203685}, "audio": {"deviceId": ""},
            "steamvr": {"customActionBinding": ""}, "detection": null, "version": -1})",
        R"({"audio": "x", "steamvr": [], "training": 1, "detection": {"fftSize": 0}})",
    };
    for (const char* text : documents) {
        SCOPED_TRACE(text);
        const nlohmann::json document = nlohmann::json::parse(text);
        Config overlaid = marked();
        from_json(document, overlaid);
        const std::string before = testsupport::describe(marked());
        const std::string after = testsupport::describe(overlaid);
        const ConfigCheck check = checkConfigText(text);
        ASSERT_TRUE(check.usable);

        for (const ConfigKey& key : kConfigKeys) {
            SCOPED_TRACE(key.name);
            const bool sectionOk = key.section[0] == '\0' || (document.contains(key.section) &&
                                                              document[key.section].is_object());
            const nlohmann::json* value = nullptr;
            if (sectionOk) {
                const nlohmann::json& object =
                    key.section[0] == '\0' ? document : document[key.section];
                if (object.contains(key.key)) {
                    value = &object[key.key];
                }
            }
            const bool changed = describedField(before, key) != describedField(after, key);
            bool reported = false;
            for (const ConfigFinding& finding : check.findings) {
                // A value the driver takes as it is (a negative duration) is no skipped one.
                if (finding.taken()) {
                    EXPECT_TRUE(finding.key != key.name || changed) << finding.message;
                    continue;
                }
                reported = reported || finding.key == key.name ||
                           (finding.kind == ConfigFinding::Kind::SectionNotObject &&
                            finding.key == key.section);
            }
            const bool nullForNotSet =
                value != nullptr && value->is_null() &&
                (key.type == ValueType::TextOrNull || key.type == ValueType::WideOrNull);
            if (value == nullptr || nullForNotSet) {
                EXPECT_FALSE(changed);
            } else {
                EXPECT_NE(changed, reported);
            }
            if (nullForNotSet || (value == nullptr && sectionOk)) {
                EXPECT_FALSE(reported);
            }
            if (!sectionOk && document.contains(key.section)) {
                EXPECT_TRUE(reported);  // the section's own finding
            }
        }
    }
}

TEST(ConfigCheckAgreementTest, DocumentWrittenBySaveHasNoFindings) {
    Config config = marked();
    const ConfigCheck check = checkConfigText(nlohmann::json(config).dump(4));
    EXPECT_TRUE(check.usable);
    EXPECT_TRUE(check.findings.empty());
}

struct SuggestionCase {
    const char* name;
    const char* expected;
};

class SuggestConfigKeyTest : public ::testing::TestWithParam<SuggestionCase> {};

TEST_P(SuggestConfigKeyTest, SuggestsTheKeyMostLikelyMeant) {
    EXPECT_EQ(suggestConfigKey(GetParam().name), GetParam().expected);
}

const SuggestionCase kSuggestions[] = {
    {"detection.fftsize", "detection.fftSize"},    // another case
    {"DETECTION", "detection"},                    // a section
    {"detection.fftSzie", "detection.fftSize"},    // two letters swapped
    {"detection.ffSize", "detection.fftSize"},     // one letter missing
    {"detection.fftSizes", "detection.fftSize"},   // one letter too many
    {"audio.bufferSizeMS", "audio.bufferSizeMs"},  // case and place
    {"vresion", "version"},                        // swap
    {"fftSize", "detection.fftSize"},              // right key, wrong place
    {"audio.fftSize", "detection.fftSize"},        // likewise
    {"detection.fftSizeXYZ", ""},                  // three letters off
    {"colour", ""},                                // nothing near
    {"version", ""},                               // already a key
};

INSTANTIATE_TEST_SUITE_P(Names, SuggestConfigKeyTest, ::testing::ValuesIn(kSuggestions),
                         [](const auto& info) {
                             std::string name;
                             for (const char c : std::string(info.param.name)) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

struct MessageTextCase {
    const char* name;
    std::string text;
    std::string quoted;
    std::string escaped;
};

void PrintTo(const MessageTextCase& row, std::ostream* out) {
    *out << row.name;
}

class MessageTextTest : public ::testing::TestWithParam<MessageTextCase> {};

TEST_P(MessageTextTest, TextIsSafeOnATerminal) {
    EXPECT_EQ(quotedForMessage(GetParam().text), GetParam().quoted);
    EXPECT_EQ(escapedForMessage(GetParam().text), GetParam().escaped);
}

const MessageTextCase kMessageTexts[] = {
    {"Plain", "red", "\"red\"", "red"},
    {"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\"", "a\"b\\c"},
    {"EscapeSequenceAndBell", "\x1B]0;x\x07\x1B[2J", "\"\\u001B]0;x\\u0007\\u001B[2J\"",
     "\\u001B]0;x\\u0007\\u001B[2J"},
    {"DeleteAndC1Controls", "\x7F\xC2\x80\xC2\x9B\xC2\xA0", "\"\\u007F\\u0080\\u009B\xC2\xA0\"",
     "\\u007F\\u0080\\u009B\xC2\xA0"},
    {"BidirectionalControlsAndSeparators", "\xE2\x80\xAE\xE2\x81\xA6\xE2\x80\x8F\xE2\x80\xA8",
     "\"\\u202E\\u2066\\u200F\\u2028\"", "\\u202E\\u2066\\u200F\\u2028"},
    {"BytesThatAreNotUtf8", "\xFF\xC3 \xF4\x90\x80\x80", "\"\\xFF\\xC3 \\xF4\\x90\\x80\\x80\"",
     "\\xFF\\xC3 \\xF4\\x90\\x80\\x80"},
    {"OverlongFormAndSurrogate", "\xC0\xAF\xED\xA0\x80", "\"\\xC0\\xAF\\xED\\xA0\\x80\"",
     "\\xC0\\xAF\\xED\\xA0\\x80"},
    {"CharactersOutsideAsciiAreKept",
     "Gr\xC3\xBC\xC3\x9F"
     "e \xE8\xA8\xAD \xF0\x9F\x8E\xA7",
     "\"Gr\xC3\xBC\xC3\x9F"
     "e \xE8\xA8\xAD \xF0\x9F\x8E\xA7\"",
     "Gr\xC3\xBC\xC3\x9F"
     "e \xE8\xA8\xAD \xF0\x9F\x8E\xA7"},
    {"LongTextIsCutOnlyWhenQuoted", std::string(50, 'a'), "\"" + std::string(40, 'a') + "\"...",
     std::string(50, 'a')},
    {"CutNeverSplitsAnEscape", std::string(7, '\x1B'),
     "\"\\u001B\\u001B\\u001B\\u001B\\u001B\\u001B\"...",
     "\\u001B\\u001B\\u001B\\u001B\\u001B\\u001B\\u001B"},
};

INSTANTIATE_TEST_SUITE_P(Texts, MessageTextTest, ::testing::ValuesIn(kMessageTexts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FloatTextTest, FloatsReadAsPeopleWroteThem) {
    const std::pair<float, const char*> cases[] = {
        {0.7f, "0.7"},
        {0.3f, "0.3"},
        {0.1f, "0.1"},
        {1.0f, "1.0"},
        {16777216.0f, "16777216.0"},
        {std::numeric_limits<float>::max(), "3.4028235e+38"},
        {-std::numeric_limits<float>::max(), "-3.4028235e+38"},
        {std::numeric_limits<float>::min(), "1.1754944e-38"},
        {std::numeric_limits<float>::denorm_min(), "1e-45"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(floatText(value), text);
    }
}

// The significant digits of a number's text: "-0.0250e+3" has 3.
std::size_t significantDigits(const std::string& text) {
    std::string digits;
    for (const char c : text.substr(0, text.find_first_of("eE"))) {
        if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
            digits += c;
        }
    }
    const auto first = digits.find_first_not_of('0');
    return first == std::string::npos ? 1 : digits.find_last_not_of('0') - first + 1;
}

// Whatever float it is, the short text, written into a document and loaded, gives that float
// back bit for bit, with no more significant digits than the shortest text of the float.
TEST(FloatTextTest, EveryFloatReadsBackThroughTheDocument) {
    std::mt19937 random(20240601);
    for (int i = 0; i < 200'000; ++i) {
        const std::uint32_t bits = random();
        float value = 0;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) {
            continue;
        }
        const std::string text = floatText(value);
        Config config;
        from_json(nlohmann::json::parse("{\"detection\": {\"sensitivity\": " + text + "}}"),
                  config);
        std::uint32_t readBack = 0;
        std::memcpy(&readBack, &config.detection.sensitivity, sizeof readBack);
        ASSERT_EQ(readBack, bits) << text;
        char shortest[64];
        const auto end = std::to_chars(std::begin(shortest), std::end(shortest), value).ptr;
        ASSERT_LE(significantDigits(text), significantDigits(std::string(shortest, end))) << text;
    }
}

}  // namespace
}  // namespace tarvik::driver
