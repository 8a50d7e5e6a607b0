// The driver's settings record and its JSON form.
//
// A default-constructed Config is the default configuration; defaults live only in the member
// initialisers below. Saving and loading the record is config/ConfigFile.h's; this header is
// for code that fills and reads it. to_json/from_json are the JSON library's conversion hooks
// (this header declares them with <nlohmann/json_fwd.hpp>; include <nlohmann/json.hpp> to use
// them):
//
//   tarvik::driver::Config config;                 // defaults
//   nlohmann::json document = config;              // to_json
//   config.detection.sensitivity = 0.3f;
//   tarvik::driver::from_json(document, config);   // overlay: back to 0.7
//
// What a caller may rely on:
// - from_json overlays key by key onto the record it is given and never resets it. A value is
//   applied only when its key is present with an accepted JSON type and the value fits the
//   field; anything else (wrong type, out of range, invalid UTF-8, unknown key) is skipped
//   silently. It raises nothing for any document content; only std::bad_alloc can escape.
// - to_json writes exactly the keys of the record; unknown keys of a loaded document are not
//   in the record (an update keeps them in the file). Empty deviceId/customActionBinding and
//   an absent lastTrainedTimestamp are null.
// - The narrow strings (customActionBinding, dataFile) carry UTF-8 bytes unchanged. Serialising
//   a document whose narrow string holds invalid UTF-8 makes nlohmann::json::dump throw
//   type_error 316; saveConfigJson lets that escape before touching the disk.
// - Nothing interprets the settings: no field is clamped or checked against another, and the
//   version is not compared with anything (no migration).
// - The wide strings (deviceNamePattern, deviceId) are UTF-16 on Windows and UTF-32 on Linux;
//   the document holds them as UTF-8. lastTrainedTimestamp is stored in whole seconds, so a
//   round trip drops the fraction of a second.
// - Records are plain values with no shared state; one thread uses a record at a time.
//
// The document's keys, what the save writes and what the load takes. "integer" means a JSON
// number written without a fraction or exponent: 4096.0 and 1e3 are not integers and leave
// an integer field as it was. Any other type, a null included (except where listed), leaves
// the field as it was, and so does an integer outside the field's range.
//
//   key                             written as                       accepted when read
//   version                         integer                          integer
//   audio                           object                           object (else skipped whole)
//     deviceNamePattern             string                           string (valid UTF-8)
//     deviceId                      string; null when empty          string (valid UTF-8)
//     bufferSizeMs                  integer                          integer
//   detection                       object                           object (else skipped whole)
//     sensitivity                   number (the float as a double)   any number: 1 and 0.5 alike
//     minDurationMs                 integer                          integer
//     cooldownMs                    integer                          integer
//     fftSize                       integer                          integer
//   steamvr                         object                           object (else skipped whole)
//     dashboardClickEnabled         true / false                     true / false (not 1, "true")
//     customActionBinding           string; null when empty          string
//   training                        object                           object (else skipped whole)
//     dataFile                      string                           string
//     lastTrainedTimestamp          integer seconds since 1970;      integer; null clears it
//                                   null when absent
//   shownTrayNotification           true / false                     true / false
//
// Keys match exactly, case included; other keys are ignored by the load, dropped by the next
// saveConfigJson() and kept by an update (config/ConfigFile.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ratio>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tarvik::driver {

// 100 ns ticks on every platform, as Windows counts file and system times.
using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
using TimePoint = std::chrono::time_point<std::chrono::system_clock, Ticks>;

struct AudioConfig {
    std::wstring deviceNamePattern = L"Beyond";
    std::wstring deviceId;  // empty: not set (stored as null)
    std::int32_t bufferSizeMs = 10;
};

struct DetectionConfig {
    float sensitivity = 0.7f;
    std::int32_t minDurationMs = 300;
    std::int32_t cooldownMs = 300;
    std::int32_t fftSize = 2048;
};

struct SteamVrConfig {
    bool dashboardClickEnabled = true;
    std::string customActionBinding;  // UTF-8; empty: not set (stored as null)
};

struct TrainingConfig {
    std::string dataFile = "training_data.bin";     // UTF-8
    std::optional<TimePoint> lastTrainedTimestamp;  // stored as whole seconds since 1970
};

struct Config {
    std::int32_t version = 1;
    AudioConfig audio;
    DetectionConfig detection;
    SteamVrConfig steamvr;
    TrainingConfig training;
    bool shownTrayNotification = false;
};

void to_json(nlohmann::json& j, const Config& c);
void to_json(nlohmann::json& j, const AudioConfig& c);
void to_json(nlohmann::json& j, const DetectionConfig& c);
void to_json(nlohmann::json& j, const SteamVrConfig& c);
void to_json(nlohmann::json& j, const TrainingConfig& c);

void from_json(const nlohmann::json& j, Config& c);
void from_json(const nlohmann::json& j, AudioConfig& c);
void from_json(const nlohmann::json& j, DetectionConfig& c);
void from_json(const nlohmann::json& j, SteamVrConfig& c);
void from_json(const nlohmann::json& j, TrainingConfig& c);

// Strict UTF-8 to wide text; false (and `out` empty) on invalid input.
bool utf8ToWide(const std::string& in, std::wstring& out);
// Wide text to UTF-8; a character without a UTF-8 form becomes U+FFFD.
std::string wideToUtf8(const std::wstring& in);

}  // namespace tarvik::driver
