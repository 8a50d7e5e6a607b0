// Values the driver takes as they are, but that nobody likely meant: a path or a name holding
// control characters that escapes wrote ("C:\temp\new" holds a TAB and a line end), and numbers
// that no setting can mean (a negative duration or buffer length, an fftSize below 1). The
// driver's reading is not changed by them: they are findings for the person editing the file.
// Internal to the checker.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigKeys.h>

namespace tarvik::driver::check {

// What to say about `value`, which the driver takes for `key` (acceptValue() gave Applied): a
// finding of kind ControlInText or Implausible with its message and hint (the caller adds the
// place), or nothing.
std::optional<ConfigFinding> noteOnTakenValue(const ConfigKey& key, const nlohmann::json& value);

}  // namespace tarvik::driver::check
