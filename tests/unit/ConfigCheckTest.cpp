// Hunts a checker that disagrees with the load: a value reported as skipped that from_json takes
// (or the reverse), a usable document called unusable, a syntax error placed on the wrong line
// or column (bytes counted as characters, a byte-order mark counted, a repeated key placed at
// its first occurrence), a suggestion that points at the wrong key, and a message that loses
// what was found or what the driver keeps.
#include <gtest/gtest.h>

#include <cctype>
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

// "line:column: message" per finding, "+N" for unreported ones.
std::vector<std::string> render(const ConfigCheck& check) {
    std::vector<std::string> lines;
    for (const ConfigFinding& finding : check.findings) {
        lines.push_back(std::to_string(finding.line) + ":" + std::to_string(finding.column) + ": " +
                        finding.message);
    }
    if (check.unreported > 0) {
        lines.push_back("+" + std::to_string(check.unreported));
    }
    return lines;
}

struct CheckCase {
    const char* name;
    const char* document;
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
     {"1:16: detection.fftsize: unknown key, ignored (a save drops it); did you mean "
      "detection.fftSize?"}},
    {"OutOfRangeAndFractional",
     R"({"audio": {"bufferSizeMs": 2147483648}, "detection": {"fftSize": 2048.0}})",
     true,
     {"1:12: audio.bufferSizeMs: found the integer 2147483648; " + kInt32 +
          "; the driver keeps its default 10",
      "1:55: detection.fftSize: found the number 2048.0; " + kInt32 +
          "; the driver keeps its default 2048"}},
    {"SensitivityBeyondFloat",
     R"({"detection": {"sensitivity": 1e39}})",
     true,
     {"1:16: detection.sensitivity: found the number 1e+39; expected a number from "
      "-3.4028234663852886e+38 to 3.4028234663852886e+38; the driver keeps its default "
      "0.699999988079071"}},
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
     {"1:2: Version: unknown key, ignored (a save drops it); did you mean version?",
      "1:16: fftSize: unknown key, ignored (a save drops it); did you mean detection.fftSize?",
      "1:30: colour: unknown key, ignored (a save drops it)"}},
    {"LongStringIsCut",
     R"({"version": "0123456789012345678901234567890123456789ABCDEFG"})",
     true,
     {"1:2: version: found a string \"0123456789012345678901234567890123456789\"...; " + kInt32 +
      "; the driver keeps its default 1"}},
    {"RepeatedKeyCountsItsLastValue", "{\"version\": \"x\",\n \"version\": 3}", true, {}},
    {"RepeatedKeyIsPlacedAtItsLastOccurrence",
     "{\"version\": 3,\n \"version\": \"x\"}",
     true,
     {"2:2: version: found a string \"x\"; " + kInt32 + "; the driver keeps its default 1"}},
    {"ColumnsCountCharactersNotBytes",
     "{\"\xC3\xA4\": 1, \"b\": 1}",
     true,
     {"1:2: \xC3\xA4: unknown key, ignored (a save drops it)",
      "1:10: b: unknown key, ignored (a save drops it)"}},
    {"ByteOrderMarkIsNotAColumn",
     "\xEF\xBB\xBF{\"x\": 1}",
     true,
     {"1:2: x: unknown key, ignored (a save drops it)"}},
    {"EscapedQuoteInAKey",
     R"({"a\"b": 1, "c\\": 2})",
     true,
     {"1:2: a\"b: unknown key, ignored (a save drops it)",
      "1:13: c\\: unknown key, ignored (a save drops it)"}},
    {"UnknownKeyInsideASectionIsNotFollowedDeeper",
     R"({"audio": {"extra": {"bufferSizeMs": "x"}}})",
     true,
     {"1:12: audio.extra: unknown key, ignored (a save drops it)"}},

    // Unusable documents: one finding, where the parser stopped.
    {"EmptyText",
     "",
     false,
     {"1:1: syntax error while parsing value - unexpected end of input; expected '[', '{', or "
      "a literal"}},
    {"TrailingComma",
     "{\n    \"version\": 2,\n}",
     false,
     {"3:1: syntax error while parsing object key - unexpected '}'; expected string literal"}},
    {"StrayComma",
     "{,}",
     false,
     {"1:2: syntax error while parsing object key - unexpected ','; expected string literal"}},
    {"Comment",
     "{\n  /* no */ }",
     false,
     {"2:3: syntax error while parsing object key - invalid literal; last read: '{<U+000A>  /'; "
      "expected string literal"}},
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
    {"Array", "[1]", false, {"1:1: the document is an array, not a JSON object"}},
    {"StringAfterBlanks", "\n  \"x\"", false, {"2:3: the document is a string, not a JSON object"}},
    {"Null", "null", false, {"1:1: the document is null, not a JSON object"}},
};

INSTANTIATE_TEST_SUITE_P(Documents, ConfigCheckTest, ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

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
            bool reported = false;
            for (const ConfigFinding& finding : check.findings) {
                reported = reported || finding.key == key.name ||
                           (finding.kind == ConfigFinding::Kind::SectionNotObject &&
                            finding.key == key.section);
            }
            const bool changed = describedField(before, key) != describedField(after, key);
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

}  // namespace
}  // namespace tarvik::driver
