// The benchmarks: save, load and logging against their floors, and how load and pruning cost
// grow with the size of what they handle.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>
#include "bench/BenchSupport.h"
#include "platform/File.h"

namespace tarvik::bench {
double medianOf(std::vector<double>& values) {
    if (values.empty()) {
        return 0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

namespace {

namespace fs = std::filesystem;
using common::LogLevel;

constexpr char kLoadedMessage[] = "Driver loaded config from: ";

// ---- The floor's log line ------------------------------------------------------------------

void appendTwoDigits(char*& out, int value) {
    *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
}

// "[HH:MM:SS.mmm] [INFO] " + message + "\n", formatted by hand into a stack buffer and written
// with one write(2): the least that writing the line the load must log can cost.
void writeInfoLine(const baseline::NullDevice& out, std::string_view first,
                   std::string_view second) {
    const auto now = std::chrono::system_clock::now();
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::tm local = baseline::localTime(static_cast<std::time_t>(millis / 1000));
    char buffer[1024];
    std::string heap;
    constexpr std::string_view kLevel = "] [INFO] ";
    const std::size_t size = 13 + kLevel.size() + first.size() + second.size();
    char* line = buffer;
    if (size > sizeof(buffer)) {
        heap.resize(size);
        line = heap.data();
    }
    char* p = line;
    *p++ = '[';
    appendTwoDigits(p, local.tm_hour);
    *p++ = ':';
    appendTwoDigits(p, local.tm_min);
    *p++ = ':';
    appendTwoDigits(p, local.tm_sec);
    *p++ = '.';
    const int ms = static_cast<int>(millis % 1000);
    *p++ = static_cast<char>('0' + ms / 100);
    appendTwoDigits(p, ms % 100);
    p = std::copy(kLevel.begin(), kLevel.end(), p);
    p = std::copy(first.begin(), first.end(), p);
    p = std::copy(second.begin(), second.end(), p);
    *p++ = '\n';
    out.write(std::string_view(line, static_cast<std::size_t>(p - line)));
}

// The floor of a load: read the bytes, parse them, log one line.
bool floorLoad(const fs::path& path, const std::string& pathText, const baseline::NullDevice& out) {
    std::string text;
    if (!baseline::readFile(path, text)) {
        return false;
    }
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false, false);
    writeInfoLine(out, kLoadedMessage, pathText);
    return document.is_object();
}

// ---- Save -------------------------------------------------------------------------------------

void saveDurably(benchmark::State& state, const fs::path& root) {
    const fs::path floorDirectory = root / "save-floor";
    const fs::path layerDirectory = root / "save-layer";
    fs::create_directories(floorDirectory);
    fs::create_directories(layerDirectory);
    const fs::path layerTarget = layerDirectory / "config.json";

    const driver::Config config;
    nlohmann::json document;  // the floor starts from a built document
    to_json(document, config);

    bool ok = true;
    const auto floor = [&] {
        const std::string text = document.dump(4);
        ok = baseline::writeDurably(floorDirectory, "config.json", text) && ok;
    };
    const auto layer = [&] { ok = driver::saveConfigJson(layerTarget, config) && ok; };
    // Both sides replace an existing file in the measured loop, as every save but the first.
    floor();
    layer();
    runPaired(state, 1, floor, layer);
    if (!ok) {
        state.SkipWithError("a save failed");
    }
}

// ---- Load -------------------------------------------------------------------------------------

void loadDefault(benchmark::State& state, const fs::path& root) {
    const fs::path directory = root / "load";
    fs::create_directories(directory);
    const fs::path path = directory / "config.json";
    if (!driver::saveConfigJson(path, driver::Config{})) {
        state.SkipWithError("could not save the file to load");
        return;
    }
    const std::string pathText = path.string();
    const baseline::NullDevice out;
    driver::Config config;  // loading the same file again assigns the same values
    bool ok = true;
    const baseline::StderrToNull discard;  // the console logger's line goes to the null device
    runPaired(
        state, 1, [&] { ok = floorLoad(path, pathText, out) && ok; },
        [&] { ok = driver::loadConfigJson(path, config) && ok; });
    if (!ok) {
        state.SkipWithError("a load failed");
    }
}

// ---- Update -----------------------------------------------------------------------------------

// Read-modify-write in one step against its parts done one after the other: `change` through
// one updateConfigJson() of `updated` against a loadConfigJson(), the same change and a
// saveConfigJson() of `separate` (the same file or another).
void runUpdatePairs(benchmark::State& state, const fs::path& separate, const fs::path& updated,
                    const std::function<void(driver::Config&)>& change) {
    bool ok = driver::saveConfigJson(separate, driver::Config{}) &&
              driver::saveConfigJson(updated, driver::Config{});
    const baseline::StderrToNull discard;  // both log the load's line through the console logger
    runPaired(
        state, 1,
        [&] {
            driver::Config config;
            ok = driver::loadConfigJson(separate, config) && ok;
            change(config);
            ok = driver::saveConfigJson(separate, config) && ok;
        },
        [&] {
            driver::Config config;
            ok = driver::updateConfigJson(updated, config, change) && ok;
        });
    if (!ok) {
        state.SkipWithError("an update failed");
    }
}

// On disk: the update holds the saves' lock across its parts, and that must cost next to
// nothing beyond the load and the save.
void updateSetting(benchmark::State& state, const fs::path& root) {
    const fs::path directory = root / "update";
    fs::create_directories(directory);
    std::int32_t counter = 0;
    runUpdatePairs(state, directory / "separate.json", directory / "updated.json",
                   [&counter](driver::Config& c) { c.audio.bufferSizeMs = ++counter; });
}

// The update's goal on a memory file system, where no sync hides the CPU's work: one update that
// flips fftSize against a load, the same change and a save of the same file. Both sides read
// what the other wrote last: a record the save writes, no key it does not know.
void updateInMemory(benchmark::State& state, const fs::path& root) {
    const fs::path directory = root / "update";
    fs::create_directories(directory);
    runUpdatePairs(
        state, directory / "config.json", directory / "config.json",
        [](driver::Config& c) { c.detection.fftSize = c.detection.fftSize == 2048 ? 4096 : 2048; });
}

// ---- Logging ----------------------------------------------------------------------------------

constexpr int kLogBatch = 1000;

// A DEBUG message below the console logger's INFO: the text is still built, then dropped.
void logDiscarded(benchmark::State& state) {
    const std::string pathText = "/home/user/.config/tarvik/config.json";
    runPaired(
        state, kLogBatch,
        [&] {
            for (int i = 0; i < kLogBatch; ++i) {
                std::string text;
                text.append(kLoadedMessage).append(pathText);
                benchmark::DoNotOptimize(text.data());
            }
        },
        [&] {
            for (int i = 0; i < kLogBatch; ++i) {
                common::logConcat(LogLevel::Debug, kLoadedMessage, pathText);
            }
        });
}

constexpr int kWrittenBatch = 100;

// An INFO line through the console logger, whose standard error is the null device.
void logWritten(benchmark::State& state) {
    const std::string pathText = "/home/user/.config/tarvik/config.json";
    const baseline::NullDevice out;
    const baseline::StderrToNull discard;
    runPaired(
        state, kWrittenBatch,
        [&] {
            for (int i = 0; i < kWrittenBatch; ++i) {
                writeInfoLine(out, kLoadedMessage, pathText);
            }
        },
        [&] {
            for (int i = 0; i < kWrittenBatch; ++i) {
                common::logConcat(LogLevel::Info, kLoadedMessage, pathText);
            }
        });
}

// ---- Growth: load of large documents ---------------------------------------------------------

// A document the load accepts: the default record followed by a history of `targetBytes`
// worth of small objects under a key the record does not know.
std::string growthDocument(std::size_t targetBytes) {
    nlohmann::json document;
    to_json(document, driver::Config{});
    std::string text = document.dump(4);
    text.resize(text.size() - 2);  // drop "\n}" to append one more member
    text += ",\n    \"zHistory\": [";
    constexpr std::string_view kTail = "\n    ]\n}";
    char entry[160];
    for (long i = 0;; ++i) {
        const int length = std::snprintf(
            entry, sizeof(entry),
            "%s\n        {\"at\": %ld, \"sensitivity\": 0.7, \"note\": \"detected sample %ld\"}",
            i == 0 ? "" : ",", 1700000000L + i, i);
        if (text.size() + static_cast<std::size_t>(length) + kTail.size() > targetBytes && i > 0) {
            break;
        }
        text.append(entry, static_cast<std::size_t>(length));
    }
    text += kTail;
    return text;
}

void loadGrowth(benchmark::State& state, const fs::path& root, std::size_t targetBytes) {
    const fs::path path = root / ("growth-" + std::to_string(targetBytes) + ".json");
    if (!fs::exists(path)) {
        std::ofstream(path, std::ios::binary) << growthDocument(targetBytes);
    }
    const auto fileBytes = static_cast<double>(fs::file_size(path));
    const std::string pathText = path.string();
    const baseline::NullDevice out;
    driver::Config config;
    bool ok = true;
    const baseline::StderrToNull discard;

    // Memory first, outside the timed loop: the read alone, then the whole load.
    const std::size_t readPeak = peakHeapOf([&] {
        std::string text;
        ok = platform::readWholeFile(path, text).status == platform::ReadStatus::Ok && ok;
    });
    const std::size_t loadPeak =
        peakHeapOf([&] { ok = driver::loadConfigJson(path, config) && ok; });

    runPaired(
        state, 1, [&] { ok = floorLoad(path, pathText, out) && ok; },
        [&] { ok = driver::loadConfigJson(path, config) && ok; });
    state.counters["bytes"] = fileBytes;
    state.counters["read_peak_per_byte"] = static_cast<double>(readPeak) / fileBytes;
    state.counters["load_peak_per_byte"] = static_cast<double>(loadPeak) / fileBytes;
    if (!ok) {
        state.SkipWithError("a load failed");
    }
}

// ---- Growth: pruning of the quarantine --------------------------------------------------------

constexpr std::string_view kBackupPrefix = "config.json.corrupted.";

// One quarantine of a corrupt file in a directory that holds `count` backups: the move, the
// listing and the removal of all but the five greatest names, against the same work done with
// bare system calls. Unlinking is most of it, and its cost per file grows with the directory
// (the file system's own lookups), so the floor shows what the growth of the file system is.
// The directories are filled afresh, untimed, before every call.
void pruneBackups(benchmark::State& state, const fs::path& root, int count) {
    const fs::path floorDirectory = root / ("prune-floor-" + std::to_string(count));
    const fs::path layerDirectory = root / ("prune-layer-" + std::to_string(count));
    const fs::path floorCorrupt = floorDirectory / "config.json";
    const fs::path layerCorrupt = layerDirectory / "config.json";
    // The floor's backup name: a stamp like the layer's, greater than the made-up old ones.
    const fs::path floorBackup = floorDirectory / (std::string(kBackupPrefix) + "20990101-000000");
    const std::string floorBackupText = floorBackup.string();
    const baseline::NullDevice out;
    const baseline::StderrToNull discard;  // the quarantine logs one WARN line
    const auto fill = [count](const fs::path& directory, const fs::path& corrupt) {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
        fs::create_directories(directory);
        baseline::makeBackups(directory, kBackupPrefix, count);
        std::ofstream(corrupt, std::ios::binary) << "[]";
    };
    // Each timed call consumes its directory; the preparation refills what was consumed.
    bool floorUsed = true;
    bool layerUsed = true;
    bool ok = true;
    runPreparedPair(
        state, 1,
        [&] {
            if (floorUsed) {
                fill(floorDirectory, floorCorrupt);
                floorUsed = false;
            }
            if (layerUsed) {
                fill(layerDirectory, layerCorrupt);
                layerUsed = false;
            }
        },
        [&] {
            ok = baseline::quarantine(floorCorrupt, floorBackup, kBackupPrefix) && ok;
            writeInfoLine(out, "Backed up corrupt config to: ", floorBackupText);
            floorUsed = true;
        },
        [&] {
            driver::backupCorruptConfig(layerCorrupt);
            layerUsed = true;
        });
    state.counters["files"] = count;
    if (!ok) {
        state.SkipWithError("the floor's quarantine failed");
    }
}

}  // namespace

int runOnce(std::string_view operation, int count, const fs::path& directory) {
    fs::create_directories(directory);
    const fs::path path = directory / "config.json";
    const std::string pathText = path.string();
    const driver::Config saved;
    nlohmann::json document;
    to_json(document, saved);
    if (!driver::saveConfigJson(path, saved)) {
        return 1;
    }
    const baseline::NullDevice out;
    const baseline::StderrToNull discard;
    bool ok = true;
    std::function<void()> work;
    if (operation == "save") {
        work = [&] { ok = driver::saveConfigJson(path, saved) && ok; };
    } else if (operation == "floor-save") {
        work = [&] {
            ok = baseline::writeDurably(directory, "config.json", document.dump(4)) && ok;
        };
    } else if (operation == "load") {
        work = [&] {
            driver::Config config;
            ok = driver::loadConfigJson(path, config) && ok;
        };
    } else if (operation == "floor-load") {
        work = [&] { ok = floorLoad(path, pathText, out) && ok; };
    } else if (operation == "update") {
        std::int32_t counter = 0;
        work = [&, counter]() mutable {
            driver::Config config;
            ok = driver::updateConfigJson(
                     path, config, [&](driver::Config& c) { c.audio.bufferSizeMs = ++counter; }) &&
                 ok;
        };
    } else {
        return 2;
    }
    work();  // once before, as in a running program: the time zone is loaded, the file replaced
    baseline::markTrace("tarvik-bench-begin");
    for (int i = 0; i < count; ++i) {
        work();
    }
    baseline::markTrace("tarvik-bench-end");
    return ok ? 0 : 1;
}

void registerBenchmarks(const WorkDirectories& directories) {
    benchmark::RegisterBenchmark("save/disk", saveDurably, directories.disk)->UseManualTime();
    if (!directories.memory.empty()) {
        benchmark::RegisterBenchmark("save/memory", saveDurably, directories.memory)
            ->UseManualTime();
    }
    benchmark::RegisterBenchmark("load/default", loadDefault, directories.disk)->UseManualTime();
    benchmark::RegisterBenchmark("update/disk", updateSetting, directories.disk)->UseManualTime();
    if (!directories.memory.empty()) {
        // A fixed count, so that every run's medians stand on the same number of pairs.
        benchmark::RegisterBenchmark("update/memory", updateInMemory, directories.memory)
            ->UseManualTime()
            ->Iterations(400);
    }
    benchmark::RegisterBenchmark("log/discarded-debug", logDiscarded)->UseManualTime();
    benchmark::RegisterBenchmark("log/written-info", logWritten)->UseManualTime();
    for (const std::size_t bytes :
         {std::size_t{1} << 10, std::size_t{1} << 20, std::size_t{64} << 20}) {
        const std::string name = "growth/load/" + std::to_string(bytes);
        benchmark::RegisterBenchmark(name.c_str(), loadGrowth, directories.disk, bytes)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    for (const int count : {10, 1000, 10000}) {
        const std::string name = "growth/prune/" + std::to_string(count);
        // The refills, not the timed calls, take most of the wall time: a fixed, small count.
        benchmark::RegisterBenchmark(name.c_str(), pruneBackups, directories.disk, count)
            ->UseManualTime()
            ->Iterations(count >= 10000 ? 2 : (count >= 1000 ? 8 : 60))
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace tarvik::bench
