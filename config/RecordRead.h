// Reading a document onto the caller's defaults, as the update and the watcher do. Internal to
// the configuration library.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <tarvik/config/Config.h>

namespace tarvik::driver::detail {

// The record that `document` (an object) gives over `defaults`: from_json onto a copy of the
// defaults, except that a null which from_json takes as "clear the field" (a timestamp) gives
// the default's value, as a missing key does. Throws what from_json throws.
Config readOntoDefaults(const nlohmann::json& document, const Config& defaults);

}  // namespace tarvik::driver::detail
