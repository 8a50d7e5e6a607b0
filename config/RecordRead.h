// Reading a document onto the caller's defaults, as the update and the watcher do, and a key's
// value in a record's document. Internal to the configuration library.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigKeys.h>

namespace tarvik::driver::detail {

// The record that `document` (an object) gives over `defaults`: from_json onto a copy of the
// defaults, except that a null which from_json takes as "clear the field" (a timestamp) gives
// the default's value, as a missing key does. Throws what from_json throws.
Config readOntoDefaults(const nlohmann::json& document, const Config& defaults);

// The value of `key` in a document that to_json wrote (every key is there).
const nlohmann::json& valueOf(const nlohmann::json& document, const ConfigKey& key);

}  // namespace tarvik::driver::detail
