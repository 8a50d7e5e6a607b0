#include "config/Config.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

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

void readInt32(const json& j, const char* key, std::int32_t& field) {
    if (const auto number = integerIn(member(j, key), std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max())) {
        field = static_cast<std::int32_t>(*number);
    }
}

void readBool(const json& j, const char* key, bool& field) {
    const json* value = member(j, key);
    if (value != nullptr && value->is_boolean()) {
        field = value->get<bool>();
    }
}

void readString(const json& j, const char* key, std::string& field) {
    const json* value = member(j, key);
    if (value != nullptr && value->is_string()) {
        field = value->get_ref<const std::string&>();
    }
}

void readWideString(const json& j, const char* key, std::wstring& field) {
    const json* value = member(j, key);
    if (value == nullptr || !value->is_string()) {
        return;
    }
    std::wstring converted;
    if (utf8ToWide(value->get_ref<const std::string&>(), converted)) {
        field = std::move(converted);
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
    readInt32(j, "version", c.version);
    readSection(j, "audio", c.audio);
    readSection(j, "detection", c.detection);
    readSection(j, "steamvr", c.steamvr);
    readSection(j, "training", c.training);
    readBool(j, "shownTrayNotification", c.shownTrayNotification);
}

void from_json(const json& j, AudioConfig& c) {
    readWideString(j, "deviceNamePattern", c.deviceNamePattern);
    readWideString(j, "deviceId", c.deviceId);
    readInt32(j, "bufferSizeMs", c.bufferSizeMs);
}

void from_json(const json& j, DetectionConfig& c) {
    const json* sensitivity = member(j, "sensitivity");
    if (sensitivity != nullptr && sensitivity->is_number()) {
        // Integers go to the nearest float; a value beyond the float range would be undefined
        // to convert and is skipped like any other unusable value.
        const double value = sensitivity->get<double>();
        if (std::isfinite(value) && std::fabs(value) <= std::numeric_limits<float>::max()) {
            c.sensitivity = static_cast<float>(value);
        }
    }
    readInt32(j, "minDurationMs", c.minDurationMs);
    readInt32(j, "cooldownMs", c.cooldownMs);
    readInt32(j, "fftSize", c.fftSize);
}

void from_json(const json& j, SteamVrConfig& c) {
    readBool(j, "dashboardClickEnabled", c.dashboardClickEnabled);
    readString(j, "customActionBinding", c.customActionBinding);
}

void from_json(const json& j, TrainingConfig& c) {
    readString(j, "dataFile", c.dataFile);
    const json* timestamp = member(j, "lastTrainedTimestamp");
    if (timestamp == nullptr) {
        return;
    }
    if (timestamp->is_null()) {
        c.lastTrainedTimestamp.reset();
    } else if (const auto seconds =
                   integerIn(timestamp, -kMaxTimestampSeconds, kMaxTimestampSeconds)) {
        c.lastTrainedTimestamp = TimePoint(Ticks(*seconds * kTicksPerSecond));
    }
}

bool utf8ToWide(const std::string& in, std::wstring& out) {
    return platform::utf8ToWide(in, out);
}

std::string wideToUtf8(const std::wstring& in) {
    return platform::wideToUtf8(in);
}

}  // namespace tarvik::driver
