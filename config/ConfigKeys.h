// The keys of the settings document and the rule that decides which values the driver takes.
//
// One table names every key (dotted: "detection.fftSize", "version") with the JSON values it
// accepts, and one function applies the acceptance rule. from_json (config/Config.h) reads the
// document through them, and so do the checker (config/ConfigCheck.h) and the tarvik-config
// program, so the three can never disagree about a value.
//
//   const tarvik::driver::ConfigKey* key = tarvik::driver::findConfigKey("detection.fftSize");
//   tarvik::driver::acceptValue(*key, nlohmann::json(4096));    // Acceptance::Applied
//   tarvik::driver::acceptValue(*key, nlohmann::json("4096"));  // Acceptance::Skipped
//
// What a caller may rely on:
// - kConfigKeys lists every key of the document that to_json writes, in a fixed order (the top
//   level's "version" first, then each section's keys, then "shownTrayNotification"); the
//   sections that hold them are kConfigSections. Nothing else in a document is read.
// - acceptValue() says what from_json does with one value: Applied (the field takes it),
//   Unset (null where the key stores "not set" as null: the field is left as it was, which is
//   no fault), or Skipped (wrong type, out of the field's range, invalid UTF-8 for a wide
//   text: the field keeps its value). It never throws but std::bad_alloc.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace tarvik::driver {

// What a key holds, and so which JSON values it accepts.
enum class ValueType : unsigned char {
    Integer32,      // an integer (either JSON integer kind) within the signed 32-bit range
    Float,          // any number whose magnitude fits a float (integers included)
    Boolean,        // true or false
    Text,           // a string, its UTF-8 bytes kept as they are
    TextOrNull,     // a string; null (written for an empty value) leaves the field alone
    WideText,       // a string of valid UTF-8, converted to the platform's wide text
    WideOrNull,     // as WideText; null leaves the field alone
    SecondsOrNull,  // whole seconds since 1970 whose 100 ns tick count fits 64 bits; null clears
};

struct ConfigKey {
    const char* name;     // dotted name: "detection.fftSize", or "version" at the top level
    const char* section;  // "detection", or "" at the top level
    const char* key;      // the member name inside its object: "fftSize"
    ValueType type;
};

inline constexpr std::array<ConfigKey, 13> kConfigKeys{{
    {"version", "", "version", ValueType::Integer32},
    {"audio.deviceNamePattern", "audio", "deviceNamePattern", ValueType::WideText},
    {"audio.deviceId", "audio", "deviceId", ValueType::WideOrNull},
    {"audio.bufferSizeMs", "audio", "bufferSizeMs", ValueType::Integer32},
    {"detection.sensitivity", "detection", "sensitivity", ValueType::Float},
    {"detection.minDurationMs", "detection", "minDurationMs", ValueType::Integer32},
    {"detection.cooldownMs", "detection", "cooldownMs", ValueType::Integer32},
    {"detection.fftSize", "detection", "fftSize", ValueType::Integer32},
    {"steamvr.dashboardClickEnabled", "steamvr", "dashboardClickEnabled", ValueType::Boolean},
    {"steamvr.customActionBinding", "steamvr", "customActionBinding", ValueType::TextOrNull},
    {"training.dataFile", "training", "dataFile", ValueType::Text},
    {"training.lastTrainedTimestamp", "training", "lastTrainedTimestamp", ValueType::SecondsOrNull},
    {"shownTrayNotification", "", "shownTrayNotification", ValueType::Boolean},
}};

inline constexpr std::array<const char*, 4> kConfigSections{
    {"audio", "detection", "steamvr", "training"}};

// The key with this dotted name (case matters), or nullptr.
const ConfigKey* findConfigKey(std::string_view name);
// Whether `name` is one of kConfigSections (case matters).
bool isConfigSection(std::string_view name);

enum class Acceptance : unsigned char {
    Applied,  // from_json stores the value in the field
    Unset,    // null for a key that writes null when empty: the field is left as it was
    Skipped,  // not usable for this key: the field keeps its value
};

// What from_json does with `value` found under `key`.
Acceptance acceptValue(const ConfigKey& key, const nlohmann::json& value);

// What `key` accepts, in words: "an integer from -2147483648 to 2147483647". Float limits are
// written as floatText() writes them ("3.4028235e+38").
const char* describeAccepted(ValueType type);
// A one-word name of the type for listings: "integer", "number", "boolean", "string",
// "timestamp".
const char* typeName(ValueType type);

// A float setting as people write it: the shortest decimal text that reads back, as a
// document's number that from_json rounds to float, as exactly `value`, with ".0" after a
// whole number: "0.7" for the default sensitivity, which a save writes as 0.699999988079071
// (the float widened to double), "0.3" where that shows 0.30000001192092896, "1.0",
// "3.4028235e+38". For what programs show; the save keeps writing the widened float. A value
// without such a text (NaN, an infinity) gets the widened double's JSON text.
std::string floatText(float value);

}  // namespace tarvik::driver
