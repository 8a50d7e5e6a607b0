#include <tarvik/config/Config.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigKeys.h>
#include "config/SaveLocking.h"
#include "platform/Text.h"

namespace tarvik::driver {
namespace {

using json = nlohmann::json;

constexpr std::int64_t kTicksPerSecond = 10'000'000;
// Whole seconds whose tick count still fits a signed 64-bit integer.
constexpr std::int64_t kMaxTimestampSeconds =
    std::numeric_limits<std::int64_t>::max() / kTicksPerSecond;

// A JSON integer (either of the library's integer kinds) that lies in [low, high].
std::optional<std::int64_t> integerIn(const json* value, std::int64_t low, std::int64_t high) {
    if (value == nullptr || !value->is_number_integer()) {
        return std::nullopt;
    }
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (high < 0 || number > static_cast<std::uint64_t>(high)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    const auto number = value->get<std::int64_t>();
    if (number < low || number > high) {
        return std::nullopt;
    }
    return number;
}

// A field's value as the acceptance rule converts it.
using FieldValue = std::variant<std::monostate, std::int32_t, float, bool, std::string,
                                std::wstring, std::optional<TimePoint>>;

// The one acceptance rule: what from_json does with `value` under a key of type `type`. On
// Applied, `out` (when given) receives the converted value; it is left alone otherwise.
Acceptance convertValue(ValueType type, const json& value, FieldValue* out) {
    switch (type) {
        case ValueType::Integer32: {
            const auto number = integerIn(&value, std::numeric_limits<std::int32_t>::min(),
                                          std::numeric_limits<std::int32_t>::max());
            if (!number) {
                return Acceptance::Skipped;
            }
            if (out != nullptr) {
                *out = static_cast<std::int32_t>(*number);
            }
            return Acceptance::Applied;
        }
        case ValueType::Float: {
            if (!value.is_number()) {
                return Acceptance::Skipped;
            }
            // Integers go to the nearest float; a value beyond the float range would be undefined
            // to convert and is skipped like any other unusable value.
            const double number = value.get<double>();
            if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max()) {
                return Acceptance::Skipped;
            }
            if (out != nullptr) {
                *out = static_cast<float>(number);
            }
            return Acceptance::Applied;
        }
        case ValueType::Boolean:
            if (!value.is_boolean()) {
                return Acceptance::Skipped;
            }
            if (out != nullptr) {
                *out = value.get<bool>();
            }
            return Acceptance::Applied;
        case ValueType::Text:
        case ValueType::TextOrNull:
            if (value.is_null() && type == ValueType::TextOrNull) {
                return Acceptance::Unset;
            }
            if (!value.is_string()) {
                return Acceptance::Skipped;
            }
            if (out != nullptr) {
                *out = value.get_ref<const std::string&>();
            }
            return Acceptance::Applied;
        case ValueType::WideText:
        case ValueType::WideOrNull: {
            if (value.is_null() && type == ValueType::WideOrNull) {
                return Acceptance::Unset;
            }
            if (!value.is_string()) {
                return Acceptance::Skipped;
            }
            std::wstring converted;
            if (!utf8ToWide(value.get_ref<const std::string&>(), converted)) {
                return Acceptance::Skipped;  // invalid UTF-8: possible in memory, not from a file
            }
            if (out != nullptr) {
                *out = std::move(converted);
            }
            return Acceptance::Applied;
        }
        case ValueType::SecondsOrNull: {
            if (value.is_null()) {
                if (out != nullptr) {
                    *out = std::optional<TimePoint>();
                }
                return Acceptance::Applied;  // null clears the field
            }
            const auto seconds = integerIn(&value, -kMaxTimestampSeconds, kMaxTimestampSeconds);
            if (!seconds) {
                return Acceptance::Skipped;
            }
            if (out != nullptr) {
                *out = std::optional<TimePoint>(TimePoint(Ticks(*seconds * kTicksPerSecond)));
            }
            return Acceptance::Applied;
        }
    }
    return Acceptance::Skipped;
}

// The table's entry for `key` in `section`; evaluated while compiling, where a name missing
// from the table fails the build.
constexpr const ConfigKey* tableKey(std::string_view section, std::string_view key) {
    for (const ConfigKey& entry : kConfigKeys) {
        // cppcheck-suppress useStlAlgorithm ; std::find_if is not constexpr before C++20
        if (section == entry.section && key == entry.key) {
            return &entry;
        }
    }
    throw std::logic_error("a field read by from_json is missing from kConfigKeys");
}

// Stores what the acceptance rule makes of `value` in the field `Member` of the record.
template <typename Record, typename Field, Field Record::*Member>
void readMember(ValueType type, const json& value, Record& record) {
    if constexpr (std::is_same_v<Field, std::string>) {
        // A narrow text is taken as it is: copied straight into the field, whose buffer a load
        // of the same file again already has, instead of through a converted copy.
        if (convertValue(type, value, nullptr) == Acceptance::Applied) {
            record.*Member = value.get_ref<const std::string&>();
        }
    } else {
        FieldValue converted;
        if (convertValue(type, value, &converted) == Acceptance::Applied) {
            record.*Member = std::get<Field>(std::move(converted));
        }
    }
}

// One key of a section (or of the top level) and how its value reaches the record.
template <typename Record>
struct FieldReader {
    std::string_view name;
    ValueType type;
    void (*read)(ValueType type, const json& value, Record& record);
};

template <typename Record, typename Field, Field Record::*Member>
constexpr FieldReader<Record> field(std::string_view section, std::string_view key) {
    const ConfigKey* entry = tableKey(section, key);
    return {entry->key, entry->type, &readMember<Record, Field, Member>};
}

// Reads the member `name` into `record` when it is one of `fields`; ignores it otherwise.
template <typename Record, std::size_t N>
void readField(const FieldReader<Record> (&fields)[N], std::string_view name, const json& value,
               Record& record) {
    const auto found =
        std::find_if(std::begin(fields), std::end(fields),
                     [name](const FieldReader<Record>& reader) { return name == reader.name; });
    if (found != std::end(fields)) {
        found->read(found->type, value, record);
    }
}

// Reads the known members of the object `j` into `record`, in one pass over its members.
// Members are only ever read through references: parsed documents can be nested deeply
// enough that a recursive copy would exhaust the stack.
template <typename Record, std::size_t N>
void readFields(const json& j, const FieldReader<Record> (&fields)[N], Record& record) {
    if (!j.is_object()) {
        return;
    }
    for (const auto& [name, value] : j.get_ref<const json::object_t&>()) {
        readField(fields, name, value, record);
    }
}

constexpr FieldReader<AudioConfig> kAudioFields[] = {
    field<AudioConfig, std::wstring, &AudioConfig::deviceNamePattern>("audio", "deviceNamePattern"),
    field<AudioConfig, std::wstring, &AudioConfig::deviceId>("audio", "deviceId"),
    field<AudioConfig, std::int32_t, &AudioConfig::bufferSizeMs>("audio", "bufferSizeMs"),
};

constexpr FieldReader<DetectionConfig> kDetectionFields[] = {
    field<DetectionConfig, float, &DetectionConfig::sensitivity>("detection", "sensitivity"),
    field<DetectionConfig, std::int32_t, &DetectionConfig::minDurationMs>("detection",
                                                                          "minDurationMs"),
    field<DetectionConfig, std::int32_t, &DetectionConfig::cooldownMs>("detection", "cooldownMs"),
    field<DetectionConfig, std::int32_t, &DetectionConfig::fftSize>("detection", "fftSize"),
};

constexpr FieldReader<SteamVrConfig> kSteamVrFields[] = {
    field<SteamVrConfig, bool, &SteamVrConfig::dashboardClickEnabled>("steamvr",
                                                                      "dashboardClickEnabled"),
    field<SteamVrConfig, std::string, &SteamVrConfig::customActionBinding>("steamvr",
                                                                           "customActionBinding"),
};

constexpr FieldReader<TrainingConfig> kTrainingFields[] = {
    field<TrainingConfig, std::string, &TrainingConfig::dataFile>("training", "dataFile"),
    field<TrainingConfig, std::optional<TimePoint>, &TrainingConfig::lastTrainedTimestamp>(
        "training", "lastTrainedTimestamp"),
};

// The top level's own fields; its sections are read by their own from_json.
constexpr FieldReader<Config> kTopLevelFields[] = {
    field<Config, std::int32_t, &Config::version>("", "version"),
    field<Config, bool, &Config::shownTrayNotification>("", "shownTrayNotification"),
};

// Hands `value` to the section's from_json when it is an object; anything else skips the
// whole section.
template <typename Section>
void readSection(const json& value, Section& section) {
    if (value.is_object()) {
        from_json(value, section);
    }
}

json nullOrText(std::string text) {
    return text.empty() ? json(nullptr) : json(std::move(text));
}

// Writes the text that dump(4) gives for an object, member by member, without building the
// object: keys must come in ascending order, as the JSON library's objects keep them.
class DocumentWriter {
public:
    explicit DocumentWriter(std::string& out) : out_(out) {}

    void beginObject() {
        out_ += '{';
        ++depth_;
        firstMember_ = true;
    }
    void endObject() {
        --depth_;
        newLine();
        out_ += '}';
        firstMember_ = false;
    }
    // The member's name (plain ASCII here: no escapes needed).
    void key(std::string_view name) {
        if (!firstMember_) {
            out_ += ',';
        }
        firstMember_ = false;
        newLine();
        out_ += '"';
        out_ += name;
        out_ += "\": ";
    }
    void integer(std::int64_t value) {
        char digits[24];
        const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
        out_.append(digits, end);
    }
    void boolean(bool value) { out_ += value ? "true" : "false"; }
    void null() { out_ += "null"; }
    // A string in quotes. Printable ASCII other than the quote and the backslash is written as
    // it is, as dump writes it; any other text is left to the library, so that its escapes and
    // its check of the UTF-8 (type_error 316) are exactly dump's.
    void text(const std::string& value) {
        const bool plain = std::all_of(value.begin(), value.end(), [](char c) {
            return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\';
        });
        if (plain) {
            out_ += '"';
            out_ += value;
            out_ += '"';
        } else {
            out_ += json(value).dump();
        }
    }
    // A double, in the library's own digits.
    void number(double value) { out_ += json(value).dump(); }

private:
    void newLine() {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(depth_) * 4, ' ');
    }

    std::string& out_;
    int depth_ = 0;
    bool firstMember_ = true;
};

}  // namespace

namespace detail {

// The same text as to_json followed by dump(4), written straight from the record: building the
// document and tearing it down cost more than serialising it. Keep it in step with to_json
// (ConfigJsonTest compares the two for a table of records).
std::string documentText(const Config& c) {
    std::string text;
    text.reserve(640);
    DocumentWriter out(text);
    out.beginObject();
    out.key("audio");
    out.beginObject();
    out.key("bufferSizeMs");
    out.integer(c.audio.bufferSizeMs);
    out.key("deviceId");
    if (c.audio.deviceId.empty()) {
        out.null();
    } else {
        out.text(wideToUtf8(c.audio.deviceId));
    }
    out.key("deviceNamePattern");
    out.text(wideToUtf8(c.audio.deviceNamePattern));
    out.endObject();
    out.key("detection");
    out.beginObject();
    out.key("cooldownMs");
    out.integer(c.detection.cooldownMs);
    out.key("fftSize");
    out.integer(c.detection.fftSize);
    out.key("minDurationMs");
    out.integer(c.detection.minDurationMs);
    out.key("sensitivity");
    out.number(static_cast<double>(c.detection.sensitivity));
    out.endObject();
    out.key("shownTrayNotification");
    out.boolean(c.shownTrayNotification);
    out.key("steamvr");
    out.beginObject();
    out.key("customActionBinding");
    if (c.steamvr.customActionBinding.empty()) {
        out.null();
    } else {
        out.text(c.steamvr.customActionBinding);
    }
    out.key("dashboardClickEnabled");
    out.boolean(c.steamvr.dashboardClickEnabled);
    out.endObject();
    out.key("training");
    out.beginObject();
    out.key("dataFile");
    out.text(c.training.dataFile);
    out.key("lastTrainedTimestamp");
    if (c.training.lastTrainedTimestamp) {
        out.integer(c.training.lastTrainedTimestamp->time_since_epoch().count() / kTicksPerSecond);
    } else {
        out.null();
    }
    out.endObject();
    out.key("version");
    out.integer(c.version);
    out.endObject();
    return text;
}

}  // namespace detail

void to_json(json& j, const Config& c) {
    j["version"] = c.version;
    json audio;
    to_json(audio, c.audio);
    j["audio"] = std::move(audio);
    json detection;
    to_json(detection, c.detection);
    j["detection"] = std::move(detection);
    json steamvr;
    to_json(steamvr, c.steamvr);
    j["steamvr"] = std::move(steamvr);
    json training;
    to_json(training, c.training);
    j["training"] = std::move(training);
    j["shownTrayNotification"] = c.shownTrayNotification;
}

void to_json(json& j, const AudioConfig& c) {
    j["deviceNamePattern"] = wideToUtf8(c.deviceNamePattern);
    // A non-empty id whose conversion fails is written as "" (not null): it was set.
    j["deviceId"] = c.deviceId.empty() ? json(nullptr) : json(wideToUtf8(c.deviceId));
    j["bufferSizeMs"] = c.bufferSizeMs;
}

void to_json(json& j, const DetectionConfig& c) {
    j["sensitivity"] = static_cast<double>(c.sensitivity);
    j["minDurationMs"] = c.minDurationMs;
    j["cooldownMs"] = c.cooldownMs;
    j["fftSize"] = c.fftSize;
}

void to_json(json& j, const SteamVrConfig& c) {
    j["dashboardClickEnabled"] = c.dashboardClickEnabled;
    j["customActionBinding"] = nullOrText(c.customActionBinding);
}

void to_json(json& j, const TrainingConfig& c) {
    j["dataFile"] = c.dataFile;
    if (c.lastTrainedTimestamp) {
        // Whole seconds, truncated toward zero.
        j["lastTrainedTimestamp"] =
            c.lastTrainedTimestamp->time_since_epoch().count() / kTicksPerSecond;
    } else {
        j["lastTrainedTimestamp"] = nullptr;
    }
}

// Each from_json passes once over the object's members and dispatches by name, instead of
// looking each known key up in the object; what a value does to its field is the one
// acceptance rule (convertValue) either way.
void from_json(const json& j, Config& c) {
    if (!j.is_object()) {
        return;
    }
    using namespace std::string_view_literals;
    for (const auto& [key, value] : j.get_ref<const json::object_t&>()) {
        const std::string_view name = key;
        if (name == "audio"sv) {
            readSection(value, c.audio);
        } else if (name == "detection"sv) {
            readSection(value, c.detection);
        } else if (name == "steamvr"sv) {
            readSection(value, c.steamvr);
        } else if (name == "training"sv) {
            readSection(value, c.training);
        } else {
            readField(kTopLevelFields, name, value, c);
        }
    }
}

void from_json(const json& j, AudioConfig& c) {
    readFields(j, kAudioFields, c);
}

void from_json(const json& j, DetectionConfig& c) {
    readFields(j, kDetectionFields, c);
}

void from_json(const json& j, SteamVrConfig& c) {
    readFields(j, kSteamVrFields, c);
}

void from_json(const json& j, TrainingConfig& c) {
    readFields(j, kTrainingFields, c);
}

const ConfigKey* findConfigKey(std::string_view name) {
    const auto found = std::find_if(kConfigKeys.begin(), kConfigKeys.end(),
                                    [name](const ConfigKey& entry) { return name == entry.name; });
    return found == kConfigKeys.end() ? nullptr : &*found;
}

bool isConfigSection(std::string_view name) {
    return std::any_of(kConfigSections.begin(), kConfigSections.end(),
                       [name](const char* section) { return name == section; });
}

Acceptance acceptValue(const ConfigKey& key, const json& value) {
    return convertValue(key.type, value, nullptr);
}

const char* describeAccepted(ValueType type) {
    switch (type) {
        case ValueType::Integer32:
            return "an integer from -2147483648 to 2147483647";
        case ValueType::Float:
            return "a number from -3.4028235e+38 to 3.4028235e+38";
        case ValueType::Boolean:
            return "true or false";
        case ValueType::Text:
        case ValueType::WideText:
            return "a string";
        case ValueType::TextOrNull:
        case ValueType::WideOrNull:
            return "a string, or null for not set";
        case ValueType::SecondsOrNull:
            return "whole seconds since 1970 (an integer from -922337203685 to 922337203685), "
                   "or null for never";
    }
    return "nothing";
}

std::string floatText(float value) {
    if (std::isfinite(value)) {
        // The shortest text that reads back as this float when read as a float; it is read
        // back here as from_json reads it (a double, then rounded to float) and kept only if
        // that gives the same float again, so that a double rounding can never change the value.
        char text[64];
        const std::to_chars_result written = std::to_chars(std::begin(text), std::end(text), value);
        double readBack = 0;
        if (written.ec == std::errc() &&
            std::from_chars(std::begin(text), written.ptr, readBack).ec == std::errc() &&
            static_cast<float>(readBack) == value) {
            std::string result(std::begin(text), written.ptr);
            if (result.find_first_of(".e") == std::string::npos) {
                result += ".0";  // a number with a fraction, as the save writes it
            }
            return result;
        }
    }
    return json(static_cast<double>(value)).dump();
}

const char* typeName(ValueType type) {
    switch (type) {
        case ValueType::Integer32:
            return "integer";
        case ValueType::Float:
            return "number";
        case ValueType::Boolean:
            return "boolean";
        case ValueType::Text:
        case ValueType::TextOrNull:
        case ValueType::WideText:
        case ValueType::WideOrNull:
            return "string";
        case ValueType::SecondsOrNull:
            return "timestamp";
    }
    return "unknown";
}

bool utf8ToWide(const std::string& in, std::wstring& out) {
    return platform::utf8ToWide(in, out);
}

std::string wideToUtf8(const std::wstring& in) {
    return platform::wideToUtf8(in);
}

}  // namespace tarvik::driver
