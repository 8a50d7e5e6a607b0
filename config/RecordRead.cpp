// Reading a document onto the caller's defaults, and telling a document that holds the record
// alone from one that holds more.
#include "config/RecordRead.h"

#include <algorithm>
#include <array>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tarvik::driver::detail {

void keepDefaultsWhereNullClears(const nlohmann::json& document, const Config& defaults,
                                 Config& record) {
    // The one key where null clears: cleared means "the default" here, which need not be unset.
    const auto training = document.find("training");
    if (training != document.end() && training->is_object()) {
        const auto stamp = training->find("lastTrainedTimestamp");
        if (stamp != training->end() && stamp->is_null()) {
            record.training.lastTrainedTimestamp = defaults.training.lastTrainedTimestamp;
        }
    }
}

Config readOntoDefaults(const nlohmann::json& document, const Config& defaults) {
    Config record = defaults;
    from_json(document, record);
    keepDefaultsWhereNullClears(document, defaults, record);
    return record;
}

namespace {

// Whether `value` has the JSON type that to_json writes for a key of type `type`.
bool hasWrittenType(ValueType type, const nlohmann::json& value) {
    switch (type) {
        case ValueType::Integer32:
            return value.is_number_integer();
        case ValueType::Float:
            return value.is_number_float();
        case ValueType::Boolean:
            return value.is_boolean();
        case ValueType::Text:
        case ValueType::WideText:
            return value.is_string();
        case ValueType::TextOrNull:
        case ValueType::WideOrNull:
            return value.is_string() || value.is_null();
        case ValueType::SecondsOrNull:
            return value.is_number_integer() || value.is_null();
    }
    return false;
}

// kConfigKeys with its names as views, so that a look-up compares lengths before characters.
struct KeyView {
    std::string_view section;
    std::string_view key;
    ValueType type;
};

constexpr std::array<KeyView, kConfigKeys.size()> keyViews() {
    std::array<KeyView, kConfigKeys.size()> views{};
    for (std::size_t i = 0; i < kConfigKeys.size(); ++i) {
        views[i] = {kConfigKeys[i].section, kConfigKeys[i].key, kConfigKeys[i].type};
    }
    return views;
}

constexpr std::array<KeyView, kConfigKeys.size()> kKeyViews = keyViews();

// Whether every member of `object` is a key of `section` ("" for the top level's own fields)
// with a value of the type the save writes; at the top level, sections are looked into.
bool membersAreWrittenKeys(const nlohmann::json::object_t& object, std::string_view section) {
    return std::all_of(object.begin(), object.end(), [section](const auto& member) {
        const std::string_view name = member.first;
        const nlohmann::json& value = member.second;
        if (section.empty() && isConfigSection(name)) {
            return value.is_object() &&
                   membersAreWrittenKeys(value.template get_ref<const nlohmann::json::object_t&>(),
                                         name);
        }
        return std::any_of(kKeyViews.begin(), kKeyViews.end(), [&](const KeyView& key) {
            return name == key.key && section == key.section && hasWrittenType(key.type, value);
        });
    });
}

}  // namespace

bool holdsOnlyRecordKeys(const nlohmann::json& document) {
    return document.is_object() &&
           membersAreWrittenKeys(document.get_ref<const nlohmann::json::object_t&>(), "");
}

const nlohmann::json& valueOf(const nlohmann::json& document, const ConfigKey& key) {
    return key.section[0] == '\0' ? document.at(key.key) : document.at(key.section).at(key.key);
}

}  // namespace tarvik::driver::detail
