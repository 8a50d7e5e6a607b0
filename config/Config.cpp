#include <tarvik/config/Config.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <variant>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigKeys.h>
#include "platform/Text.h"

namespace tarvik::driver {
namespace {

using json = nlohmann::json;

constexpr std::int64_t kTicksPerSecond = 10'000'000;
// Whole seconds whose tick count still fits a signed 64-bit integer.
constexpr std::int64_t kMaxTimestampSeconds =
    std::numeric_limits<std::int64_t>::max() / kTicksPerSecond;

// The member `key` of the object `j`, or nullptr. Never copies the value: parsed documents
// can be nested deeply enough that a recursive copy would exhaust the stack.
const json* member(const json& j, const char* key) {
    const auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

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

// The table's entry for `name` in `section`. Only called with names of the table.
const ConfigKey& tableKey(const char* section, const char* key) {
    for (const ConfigKey& entry : kConfigKeys) {
        if (std::strcmp(entry.section, section) == 0 && std::strcmp(entry.key, key) == 0) {
            return entry;
        }
    }
    std::abort();  // a name missing from the table is a programming error caught by any test
}

// Reads `key` of the object `j` into `field` when the acceptance rule applies its value.
template <typename Field>
void readField(const json& j, const char* section, const char* key, Field& field) {
    const ConfigKey& entry = tableKey(section, key);
    const json* value = member(j, entry.key);
    if (value == nullptr) {
        return;
    }
    FieldValue converted;
    if (convertValue(entry.type, *value, &converted) == Acceptance::Applied) {
        field = std::get<Field>(std::move(converted));
    }
}

template <typename Section>
void readSection(const json& j, const char* key, Section& section) {
    const json* value = member(j, key);
    if (value != nullptr && value->is_object()) {
        from_json(*value, section);
    }
}

json nullOrText(std::string text) {
    return text.empty() ? json(nullptr) : json(std::move(text));
}

}  // namespace

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

void from_json(const json& j, Config& c) {
    readField(j, "", "version", c.version);
    readSection(j, "audio", c.audio);
    readSection(j, "detection", c.detection);
    readSection(j, "steamvr", c.steamvr);
    readSection(j, "training", c.training);
    readField(j, "", "shownTrayNotification", c.shownTrayNotification);
}

void from_json(const json& j, AudioConfig& c) {
    readField(j, "audio", "deviceNamePattern", c.deviceNamePattern);
    readField(j, "audio", "deviceId", c.deviceId);
    readField(j, "audio", "bufferSizeMs", c.bufferSizeMs);
}

void from_json(const json& j, DetectionConfig& c) {
    readField(j, "detection", "sensitivity", c.sensitivity);
    readField(j, "detection", "minDurationMs", c.minDurationMs);
    readField(j, "detection", "cooldownMs", c.cooldownMs);
    readField(j, "detection", "fftSize", c.fftSize);
}

void from_json(const json& j, SteamVrConfig& c) {
    readField(j, "steamvr", "dashboardClickEnabled", c.dashboardClickEnabled);
    readField(j, "steamvr", "customActionBinding", c.customActionBinding);
}

void from_json(const json& j, TrainingConfig& c) {
    readField(j, "training", "dataFile", c.dataFile);
    readField(j, "training", "lastTrainedTimestamp", c.lastTrainedTimestamp);
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
