// The part of another project that takes the library in: a driver, built as a shared library
// the way a VR runtime loads one. It proves that the public headers compile under the
// consumer's strict warnings, that linking tarvik::config alone pulls in everything else it
// needs (tarvik::common, tarvik::platform, nlohmann_json), that the static libraries can go
// into a shared library, and that a load from a missing file, a save and a load back behave
// as documented.
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "common/ConsoleLogger.h"
#include "common/Logging.h"
#include "config/Config.h"
#include "config/ConfigFile.h"

namespace {

namespace tvd = tarvik::driver;

bool check(bool passed, const char* what) {
    if (!passed) {
        std::cerr << "FAIL: " << what << '\n';
    }
    return passed;
}

int run(const std::filesystem::path& path) {
    // The library installs no logger: without this line its messages are dropped.
    tarvik::common::globalLogger = std::make_shared<tarvik::common::ConsoleLogger>();

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

    std::cout << "consumer passed: " << path.string() << '\n';
    return 0;
}

}  // namespace

// Returns 0 when every check passes; otherwise 1 after one "FAIL: " line on standard error.
extern "C" int tarvikConsumerRoundTrip(const char* path) {
    try {
        return run(path);
    } catch (const std::exception& error) {
        std::cerr << "FAIL: exception: " << error.what() << '\n';
        return 1;
    }
}
