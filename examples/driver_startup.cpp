// How a driver uses the configuration layer: keep (or replace) the console logger, fill the
// defaults, load the file over them at start-up, and change settings with an update whenever
// the user changes one.
//
//   driver_startup [<path of config.json> [--quiet]]      --quiet: no log lines
//
// Without an argument the file lies in the temporary directory. Run it twice with the same
// path: the first start finds no file, shows the one-time tray notification and stores the
// sensitivity the user picked; the second start reads both back. A file it cannot read is never
// written over: the driver then runs on its defaults and saves nothing. The program's own lines
// go to standard output, the library's log lines to standard error.
#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string_view>

#include <tarvik/common/Logging.h>
#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigWatcher.h>

namespace {

namespace tvd = tarvik::driver;
using tarvik::common::LogLevel;

// A real driver keeps its settings in a per-user directory. The save refuses a bare file
// name, so the path is made absolute here.
std::filesystem::path configPath(int argc, char** argv) {
    if (argc > 1) {
        return std::filesystem::absolute(argv[1]);
    }
    return std::filesystem::temp_directory_path() / "tarvik_driver_example" / "config.json";
}

// Called whenever the user changes a setting (dashboard, tray menu): read, change and write in
// one step under the saves' lock, so that the tray application's changes to other settings are
// kept, and at once, so that a crash of the host process loses nothing. `config` then holds
// what the file holds now. A failed update writes nothing and leaves `config` as it was.
bool changeSettings(const std::filesystem::path& path, tvd::Config& config,
                    const tvd::Config& defaults, const std::function<void(tvd::Config&)>& change) {
    try {
        const tvd::SaveOutcome outcome =
            tvd::updateConfigJsonOutcome(path, config, defaults, change);
        if (outcome.failure == tvd::SaveFailure::Unusable) {
            // A person is editing the file by hand and it does not parse yet: nothing was
            // written and nothing moved. Keep the change and make it again once the watcher
            // reports a usable file. A driver with a frame loop keeps it until its next Read
            // news; this program waits here, for a minute at most.
            std::cout << "settings not changed yet: " << outcome.message(path) << '\n';
            tvd::ConfigWatcher watcher(path, config, defaults);
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
            while (std::chrono::steady_clock::now() < giveUp) {
                if (watcher.waitForNews(std::chrono::seconds(1)) &&
                    watcher.takeNews()->outcome == tvd::WatchOutcome::Read) {
                    return changeSettings(path, config, defaults, change);
                }
            }
            return false;
        }
        if (!outcome) {
            std::cout << "settings not changed: " << outcome.message(path) << '\n';
        }
        return outcome.ok();
    } catch (const std::exception& error) {
        // The JSON library's type_error 316: a narrow string field holds invalid UTF-8.
        // Nothing was written.
        tarvik::common::logConcat(LogLevel::Error, "Settings not saved: ", error.what());
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // 1. The logger. Before main the library has already put a ConsoleLogger at INFO in its
    //    slot, so this program's log lines go to standard error without any set-up. A driver
    //    whose host has no console replaces it with its own ILogger that forwards to the
    //    host's log, and tarvik::common::globalLogger.reset() silences the library. Either is
    //    done here, before other threads start: the slot is read without a lock.
    if (argc > 2 && std::string_view(argv[2]) == "--quiet") {
        tarvik::common::globalLogger.reset();
    }

    const std::filesystem::path path = configPath(argc, argv);

    // 2. Defaults: a default-constructed Config is the default configuration. A driver that
    //    wants other defaults sets them here, once, and gives them to the load (as the record
    //    it reads over), to every update and to the watcher: a key the file lacks then gives
    //    this driver's default everywhere, and an update writes that, not the library's.
    tvd::Config defaults;
    defaults.audio.bufferSizeMs = 20;
    tvd::Config config = defaults;

    // 3. Load. Whatever state the file is in, the driver starts: a missing, locked or corrupt
    //    file leaves the values above (a corrupt one is moved aside). The log says which.
    const tvd::LoadOutcome found = tvd::loadConfigJsonOutcome(path, config);
    std::cout << "sensitivity at start-up: " << config.detection.sensitivity << '\n';
    if (found == tvd::LoadOutcome::Locked || found == tvd::LoadOutcome::Unreadable ||
        found == tvd::LoadOutcome::CorruptLeftInPlace) {
        // The file holds settings that could not be read: the driver runs on its defaults and
        // must not save them over the file (an update would refuse to anyway).
        std::cout << "settings could not be read (" << tvd::describe(found)
                  << "): running on the defaults, changing nothing\n";
        return 1;
    }

    if (!config.shownTrayNotification) {
        std::cout << "first start: showing the tray notification once\n";
        if (!changeSettings(path, config, defaults,
                            [](tvd::Config& c) { c.shownTrayNotification = true; })) {
            return 1;
        }
    }

    // 4. The user moves the sensitivity slider.
    if (!changeSettings(path, config, defaults,
                        [](tvd::Config& c) { c.detection.sensitivity = 0.5f; })) {
        return 1;
    }
    std::cout << "settings saved to " << path.string() << '\n';
    return 0;
}
