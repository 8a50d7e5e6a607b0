// Hunts faults in the record's JSON form: a value of the wrong type or out of its field's range
// that gets applied (or throws, or is undefined to convert) instead of being skipped, a skipped
// section that stops the other sections from being read, a round trip that loses a field, and
// a save's text (written straight from the record) that drifts from to_json's document.
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/SaveLocking.h"
#include "tests/support/TestSupport.h"

namespace tarvik::driver {
namespace {

using testsupport::describe;

TimePoint atSeconds(std::int64_t seconds) {
    return TimePoint(Ticks(seconds * 10'000'000));
}

// Not the defaults in the fields that a document can clear or keep, so "unchanged" is visible.
Config seeded() {
    Config c;
    c.audio.deviceId = L"dev-1";
    c.steamvr.customActionBinding = "/actions/click";
    c.training.lastTrainedTimestamp = atSeconds(1000);
    return c;
}

// describe(seeded()) with the lines named in `changes` ("field=value;...") replaced.
std::string seededWith(const std::string& changes) {
    std::string text = "\n" + describe(seeded());
    std::istringstream list(changes);
    for (std::string change; std::getline(list, change, ';');) {
        const auto line = text.find("\n" + change.substr(0, change.find('=') + 1));
        if (line == std::string::npos) {
            return "no field for " + change;
        }
        text.replace(line + 1, text.find('\n', line + 1) - line - 1, change);
    }
    return text.substr(1);
}

struct OverlayCase {
    const char* name;
    const char* document;
    const char* changes;  // empty: the record stays as it was
};

void PrintTo(const OverlayCase& row, std::ostream* out) {
    *out << row.document;
}

class ConfigJsonTest : public ::testing::TestWithParam<OverlayCase> {};

TEST_P(ConfigJsonTest, OverlayAppliesOnlyUsableValues) {
    Config actual = seeded();
    from_json(nlohmann::json::parse(GetParam().document), actual);
    EXPECT_EQ(describe(actual), seededWith(GetParam().changes));
}

const OverlayCase kOverlayCases[] = {
    {"EmptyObject", "{}", ""},
    {"NullSectionSkipped", R"({"detection": null, "audio": {"bufferSizeMs": 20}, "version": 3})",
     "bufferSizeMs=20;version=3"},
    {"ArraySectionSkipped", R"({"detection": [1], "steamvr": {"dashboardClickEnabled": false}})",
     "click=0"},
    {"StringSectionSkipped", R"({"detection": "x", "training": {"dataFile": "d.bin"}})",
     "dataFile=d.bin"},
    {"IntegerSensitivity", R"({"detection": {"sensitivity": 1}})", "sensitivity=3f800000"},
    {"DoubleSensitivityRounded", R"({"detection": {"sensitivity": 0.3}})", "sensitivity=3e99999a"},
    {"SensitivityAsString", R"({"detection": {"sensitivity": "0.5"}})", ""},
    {"SensitivityAboveFloat", R"({"detection": {"sensitivity": 1e39}})", ""},
    {"SensitivityBelowFloat", R"({"detection": {"sensitivity": -1e39}})", ""},
    {"LargestFloat", R"({"detection": {"sensitivity": 3.4028234663852886e38}})",
     "sensitivity=7f7fffff"},
    {"FractionalInteger", R"({"detection": {"fftSize": 4096.0}})", ""},
    {"NegativeAndZero", R"({"detection": {"fftSize": -1}, "audio": {"bufferSizeMs": 0}})",
     "fftSize=-1;bufferSizeMs=0"},
    {"Int32Edges", R"({"detection": {"cooldownMs": 2147483647, "fftSize": -2147483648}})",
     "cooldownMs=2147483647;fftSize=-2147483648"},
    {"OutsideInt32", R"({"audio": {"bufferSizeMs": 2147483648}, "version": 4294967297,
                         "detection": {"minDurationMs": -2147483649}})",
     ""},
    {"UnsignedAboveInt64",
     R"({"version": 18446744073709551615, "training": {"lastTrainedTimestamp": 9223372036854775808}})",
     ""},
    {"NullDeviceId", R"({"audio": {"deviceId": null}})", ""},
    {"EmptyPattern", R"({"audio": {"deviceNamePattern": ""}})", "pattern="},
    {"NullBinding", R"({"steamvr": {"customActionBinding": null}})", ""},
    {"NumericDataFile", R"({"training": {"dataFile": 5}})", ""},
    {"NullTimestamp", R"({"training": {"lastTrainedTimestamp": null}})", "lastTrained=absent"},
    {"TimestampSeconds", R"({"training": {"lastTrainedTimestamp": 1700000000}})",
     "lastTrained=17000000000000000"},
    {"NegativeTimestamp", R"({"training": {"lastTrainedTimestamp": -5}})", "lastTrained=-50000000"},
    {"FractionalTimestamp", R"({"training": {"lastTrainedTimestamp": 1700000000.5}})", ""},
    {"LargestTimestamp", R"({"training": {"lastTrainedTimestamp": 922337203685}})",
     "lastTrained=9223372036850000000"},
    {"TimestampTicksOverflow", R"({"training": {"lastTrainedTimestamp": 922337203686}})", ""},
    {"TimestampTicksUnderflow", R"({"training": {"lastTrainedTimestamp": -922337203686}})", ""},
    {"BooleansOnly",
     R"({"shownTrayNotification": 1, "steamvr": {"dashboardClickEnabled": "false"}})", ""},
    {"Version", R"({"version": 2})", "version=2"},
    {"VersionAsString", R"({"version": "2"})", ""},
    {"KeysAreCaseSensitive", R"({"Version": 5, "AUDIO": {"bufferSizeMs": 1}, "x": 1})", ""},
};

INSTANTIATE_TEST_SUITE_P(Documents, ConfigJsonTest, ::testing::ValuesIn(kOverlayCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Values that no JSON text can hold but an in-memory document can.
TEST(ConfigJsonMemoryTest, NonFiniteSensitivityAndInvalidUtf8PatternAreSkipped) {
    for (const double value :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity()}) {
        nlohmann::json document;
        document["detection"]["sensitivity"] = value;
        document["audio"]["deviceNamePattern"] = "Be\xFFyond";
        Config actual = seeded();
        from_json(document, actual);
        EXPECT_EQ(describe(actual), describe(seeded())) << value;
    }
}

TEST(ConfigJsonRoundTripTest, EveryFieldSurvivesToJsonAndBack) {
    for (const float sensitivity : {0.7f, 0.3f}) {
        Config original;
        original.version = 7;
        original.audio = {L"Beyond \u00e4\u4e16\U0001F3A7", L"{0.0.1}", 25};
        original.detection = {sensitivity, 120, 450, 1024};
        original.steamvr = {false, "/actions/main/in/click"};
        original.training = {"voice.bin", atSeconds(1700000000)};
        original.shownTrayNotification = true;
        Config restored;
        from_json(nlohmann::json(original), restored);
        EXPECT_EQ(describe(restored), describe(original));
    }
}

TEST(ConfigJsonRoundTripTest, TimestampIsWrittenAsWholeSecondsTowardZero) {
    TrainingConfig training;
    training.lastTrainedTimestamp = TimePoint(atSeconds(1700000000) + Ticks(9'999'999));
    EXPECT_EQ(nlohmann::json(training)["lastTrainedTimestamp"], 1700000000);
    training.lastTrainedTimestamp = TimePoint(Ticks(-15'000'000));  // 1.5 s before 1970
    EXPECT_EQ(nlohmann::json(training)["lastTrainedTimestamp"], -1);
}

TEST(ConfigJsonRoundTripTest, UnknownKeysOfAReadDocumentAreNotWrittenBack) {
    Config config;
    from_json(nlohmann::json::parse(R"({"Version": 5, "extra": {"a": 1}})"), config);
    const nlohmann::json document = config;
    EXPECT_EQ(document.size(), 6u);
    EXPECT_FALSE(document.contains("Version") || document.contains("extra"));
}

// The save writes its text without building the document; it must be to_json's document as
// dump(4) prints it, byte for byte, and fail alike on invalid UTF-8.
TEST(ConfigJsonRoundTripTest, SavedTextIsToJsonDumpedWithIndentFour) {
    Config populated;
    populated.version = std::numeric_limits<std::int32_t>::min();
    populated.audio = {L"Beyond \u00e4\u4e16\U0001F3A7", L"{0.0.1}", -25};
    populated.detection = {0.3f, 0, std::numeric_limits<std::int32_t>::max(), 1024};
    populated.steamvr = {false, "quote \" backslash \\ tab \t bell \x07 \xC3\xA4"};
    populated.training = {"", TimePoint(Ticks(-15'000'000))};
    populated.shownTrayNotification = true;
    Config notANumber;
    notANumber.audio.deviceNamePattern.clear();
    notANumber.detection.sensitivity = std::numeric_limits<float>::quiet_NaN();
    for (const Config& config : {Config{}, populated, seeded(), notANumber}) {
        EXPECT_EQ(detail::documentText(config), nlohmann::json(config).dump(4));
    }
    // Each character the JSON text escapes, alone in a text (a Windows path has only the
    // backslash), and the first ones it need not.
    std::vector<std::string> alone = {"\"", "\\", "\x7F", "\xC3\xA9", "/", " ", "~"};
    for (char control = 0; control < 0x20; ++control) {
        alone.emplace_back(1, control);
    }
    for (const std::string& character : alone) {
        Config config;
        config.training.dataFile = "C:" + character + "records.bin";
        EXPECT_EQ(detail::documentText(config), nlohmann::json(config).dump(4))
            << static_cast<int>(static_cast<unsigned char>(character[0]));
    }
    for (const auto& [binding, dataFile] :
         {std::pair<std::string, std::string>{"a\xFF", "b\xFE"}, {"", "\xC3"}}) {
        Config invalid;
        invalid.steamvr.customActionBinding = binding;
        invalid.training.dataFile = dataFile;
        std::string expected;
        std::string actual;
        try {
            (void)nlohmann::json(invalid).dump(4);
        } catch (const nlohmann::json::type_error& error) {
            expected = error.what();
        }
        try {
            (void)detail::documentText(invalid);
        } catch (const nlohmann::json::type_error& error) {
            actual = error.what();
        }
        EXPECT_NE(expected, "");
        EXPECT_EQ(actual, expected);
    }
}

}  // namespace
}  // namespace tarvik::driver
