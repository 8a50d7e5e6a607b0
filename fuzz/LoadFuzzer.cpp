// Fuzzes the whole load of a file's bytes: the bytes are written to config.json and loaded into
// a record, which takes them through the reader, the parser, the record conversion and, for
// unusable documents, the quarantine with its pruning. Hunts crashes, stack exhaustion from deep
// nesting, undefined behaviour in the conversions (with UBSan) and memory errors (with ASan).
// A document that loads must also survive a save and load back, into a default record, as the
// same record: whatever the load accepts, the save must be able to write. The reload starts from
// the defaults because the format writes an empty deviceId or customActionBinding and an absent
// lastTrainedTimestamp as null, and a load keeps the record's own value where it meets a null
// string: only a record that holds the defaults there reads back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <tarvik/config/ConfigFile.h>

namespace tvd = tarvik::driver;

namespace {

const std::filesystem::path& scratch() {
    static const std::filesystem::path directory = [] {
        std::random_device random;
        auto path = std::filesystem::temp_directory_path() /
                    ("tarvik_fuzz_" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return directory;
}

tvd::Config marked() {
    tvd::Config config;
    config.version = -5;
    config.audio.deviceId = L"marked";
    config.steamvr.customActionBinding = "marked";
    return config;
}

bool sameRecord(const tvd::Config& a, const tvd::Config& b) {
    return a.version == b.version && a.audio.deviceNamePattern == b.audio.deviceNamePattern &&
           a.audio.deviceId == b.audio.deviceId && a.audio.bufferSizeMs == b.audio.bufferSizeMs &&
           a.detection.sensitivity == b.detection.sensitivity &&
           a.detection.minDurationMs == b.detection.minDurationMs &&
           a.detection.cooldownMs == b.detection.cooldownMs &&
           a.detection.fftSize == b.detection.fftSize &&
           a.steamvr.dashboardClickEnabled == b.steamvr.dashboardClickEnabled &&
           a.steamvr.customActionBinding == b.steamvr.customActionBinding &&
           a.training.dataFile == b.training.dataFile &&
           a.training.lastTrainedTimestamp == b.training.lastTrainedTimestamp &&
           a.shownTrayNotification == b.shownTrayNotification;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path path = scratch() / "config.json";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    tvd::Config loaded = marked();
    if (!tvd::loadConfigJson(path, loaded)) {
        std::abort();  // only an empty path may report false
    }
    if (!std::filesystem::exists(path)) {
        return 0;  // quarantined: nothing was taken from it
    }
    // The file stayed, so the load used it: the record must be writable and read back equal.
    const std::filesystem::path copy = scratch() / "roundtrip.json";
    if (!tvd::saveConfigJson(copy, loaded)) {
        std::abort();
    }
    tvd::Config reloaded;
    if (!tvd::loadConfigJson(copy, reloaded) || !sameRecord(loaded, reloaded)) {
        std::abort();
    }
    return 0;
}
