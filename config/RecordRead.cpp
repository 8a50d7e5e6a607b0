// Reading a document onto the caller's defaults.
#include "config/RecordRead.h"

#include <nlohmann/json.hpp>

namespace tarvik::driver::detail {

Config readOntoDefaults(const nlohmann::json& document, const Config& defaults) {
    Config record = defaults;
    from_json(document, record);
    // The one key where null clears: cleared means "the default" here, which need not be unset.
    const auto training = document.find("training");
    if (training != document.end() && training->is_object()) {
        const auto stamp = training->find("lastTrainedTimestamp");
        if (stamp != training->end() && stamp->is_null()) {
            record.training.lastTrainedTimestamp = defaults.training.lastTrainedTimestamp;
        }
    }
    return record;
}

const nlohmann::json& valueOf(const nlohmann::json& document, const ConfigKey& key) {
    return key.section[0] == '\0' ? document.at(key.key) : document.at(key.section).at(key.key);
}

}  // namespace tarvik::driver::detail
