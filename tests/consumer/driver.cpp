// The part of another project that takes the library in: a driver, built as a shared library
// (a .so, or a DLL for Windows) the way a VR runtime loads one; host.cpp plays the runtime.
// It hunts a library that cannot live inside a driver:
// - public headers that do not compile under a consumer's strict warnings, or a link
//   interface of tarvik::config alone that lacks tarvik::common, tarvik::platform or
//   nlohmann_json;
// - a module without the console logger that static initialisation installs (the load of a
//   missing file must log its INFO line, although nothing here installs a logger);
// - a save or load that misbehaves inside a shared library, under a non-ASCII directory;
// - two drivers in one process that share one logger slot (the host loads this file twice,
//   built as two modules, and has each capture its own messages).
// Only the four functions below are exported; everything else, the library included, stays
// inside the module.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

// The driver's own headers, of the same relative names as two of the library's: the consumer
// projects put tests/consumer/shadow first on the driver's include path, as a driver built with
// `-I.` does. The library's headers below must not pick them up.
#include "common/Logging.h"
#include "config/Config.h"

// Each library header that includes another comes first in its own block, so that the header
// it includes is reached through it, not through an earlier include.
#include <tarvik/config/ConfigFile.h>

#include <tarvik/common/ConsoleLogger.h>

#include <tarvik/common/Logging.h>
#include <tarvik/config/Config.h>

static_assert(CONSUMER_OWN_CONFIG_HEADER == 1 && CONSUMER_OWN_LOGGING_HEADER == 1,
              "the driver's own headers are the ones its own includes reach");
// Nothing but the public headers is on a consumer's include path: not the library's private
// headers, its platform layer, its tests or its benchmarks.
#if __has_include("config/SaveLocking.h") || __has_include(<config/SaveLocking.h>)
#error "the library's private headers are on the consumer's include path"
#endif
#if __has_include("platform/File.h") || __has_include(<platform/File.h>)
#error "the library's platform layer is on the consumer's include path"
#endif
#if __has_include("tests/support/TestSupport.h") || __has_include("bench/BenchSupport.h")
#error "the library's tests or benchmarks are on the consumer's include path"
#endif

#ifdef _WIN32
#define CONSUMER_EXPORT extern "C" __declspec(dllexport)
#else
#define CONSUMER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

namespace tvd = tarvik::driver;
using tarvik::common::LogLevel;

bool check(bool passed, const char* what) {
    if (!passed) {
        std::cerr << "FAIL: " << what << '\n';
    }
    return passed;
}

int roundTrip(const std::filesystem::path& path) {
    tvd::Config atStart;
    atStart.detection.sensitivity = 0.9f;  // a value the caller chose before the load
    if (!check(tvd::loadConfigJson(path, atStart), "load of a missing file returns true") ||
        !check(atStart.detection.sensitivity == 0.9f,
               "a missing file leaves the caller's values")) {
        return 1;
    }

    tvd::Config changed;
    changed.detection.sensitivity = 0.25f;
    changed.audio.deviceId = L"{0.0.1.00000000}.{consumer}";
    changed.training.dataFile = "consumer_training.bin";
    changed.shownTrayNotification = true;
    if (!check(tvd::saveConfigJson(path, changed), "save returns true") ||
        !check(std::filesystem::exists(path), "the saved file exists")) {
        return 1;
    }
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    if (!check(!std::filesystem::exists(temporary), "no temporary file is left")) {
        return 1;
    }

    tvd::Config loaded;
    if (!check(tvd::loadConfigJson(path, loaded), "load of the saved file returns true") ||
        !check(loaded.detection.sensitivity == 0.25f, "sensitivity survives the round trip") ||
        !check(loaded.audio.deviceId == changed.audio.deviceId, "deviceId survives") ||
        !check(loaded.training.dataFile == changed.training.dataFile, "dataFile survives") ||
        !check(loaded.shownTrayNotification, "shownTrayNotification survives")) {
        return 1;
    }

    // The JSON conversion hooks are usable directly: nlohmann_json comes with tarvik::config.
    const nlohmann::json document = loaded;
    if (!check(document.at("detection").at("sensitivity").get<float>() == 0.25f,
               "to_json gives the record's sensitivity")) {
        return 1;
    }
    return 0;
}

// Keeps every message that reaches this module's logger slot.
class CapturingLogger final : public tarvik::common::ILogger {
public:
    void log(LogLevel, std::string_view message) override {
        std::lock_guard<std::mutex> guard(mutex_);
        messages_.emplace_back(message);
    }
    void setLevel(LogLevel) override {}
    LogLevel getLevel() const override { return LogLevel::Trace; }

    int count(std::string_view text) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return static_cast<int>(
            std::count_if(messages_.begin(), messages_.end(), [text](const std::string& message) {
                return message.find(text) != std::string::npos;
            }));
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

std::shared_ptr<CapturingLogger> capture;

}  // namespace

// Saves and loads under `utf8Path` (absolute, UTF-8, not existing yet). Returns 0 when every
// check passes; otherwise 1 after one "FAIL: " line on standard error.
CONSUMER_EXPORT int consumer_round_trip(const char* utf8Path) {
    try {
        return roundTrip(std::filesystem::u8path(utf8Path));
    } catch (const std::exception& error) {
        std::cerr << "FAIL: exception: " << error.what() << '\n';
        return 1;
    }
}

// Replaces the console logger in this module's slot with one that keeps the messages.
CONSUMER_EXPORT void consumer_capture_log() {
    capture = std::make_shared<CapturingLogger>();
    tarvik::common::globalLogger = capture;
}

// Logs `message` at INFO through this module's slot.
CONSUMER_EXPORT void consumer_log(const char* message) {
    tarvik::common::logMessage(LogLevel::Info, message);
}

// How many messages that this module's capturing logger received contain `text`; -1 before
// consumer_capture_log().
CONSUMER_EXPORT int consumer_captured(const char* text) {
    return capture ? capture->count(text) : -1;
}
