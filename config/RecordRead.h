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

// The second half of readOntoDefaults(), for a `record` that from_json has read `document` onto
// a copy of `defaults` already (as the update's load does): puts the default back where a null
// cleared the field.
void keepDefaultsWhereNullClears(const nlohmann::json& document, const Config& defaults,
                                 Config& record);

// Whether `document` holds nothing but what a save writes: an object whose members are the
// record's own keys in their places (any of them may be missing), each section an object, each
// value of the JSON type that to_json writes for its key (an integer, a floating-point number,
// a boolean, a string, or null where the key writes null). The record's keys written into such a
// document give to_json's document of the record, member for member: nothing in it survives the
// merge, so the save's text is the update's text. Anything else (a key this version does not
// know, a section that is not an object, an integer where a double is written) is false.
bool holdsOnlyRecordKeys(const nlohmann::json& document);

// The value of `key` in a document that to_json wrote (every key is there).
const nlohmann::json& valueOf(const nlohmann::json& document, const ConfigKey& key);

}  // namespace tarvik::driver::detail
