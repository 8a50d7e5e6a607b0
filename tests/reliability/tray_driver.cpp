// The driver's side of the tray scenario (scripts/test-tray-scenario.sh): loads the file,
// watches it, takes news at 100 frames a second, and changes its own setting
// (detection.cooldownMs, one more each time) with an update every `interval` milliseconds,
// until a file named "stop" appears beside the settings file; then it takes news for 1.5 s more.
//
//   tarvik_tray_driver <settings file> <interval ms>
//
// Prints "news <detection.minDurationMs>" for each news that lists the tray's setting, and at the
// end "summary updates=N failed=N reverted=N own-reported=N final=N": reverted counts news
// whose cooldownMs is not the driver's latest (a news that would undo its own update),
// own-reported news that list the driver's own key.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigWatcher.h>

int main(int argc, char** argv) {
    namespace tvd = tarvik::driver;
    using Clock = std::chrono::steady_clock;
    if (argc != 3) {
        std::cerr << "usage: tarvik_tray_driver <settings file> <interval ms>\n";
        return 2;
    }
    tarvik::common::globalLogger.reset();
    const std::filesystem::path path = std::filesystem::absolute(argv[1]);
    const auto interval = std::chrono::milliseconds(std::stoi(argv[2]));
    const std::filesystem::path stop = path.parent_path() / "stop";

    tvd::Config config;
    (void)tvd::loadConfigJsonOutcome(path, config);
    tvd::ConfigWatcher watcher(path, config);
    int updates = 0;
    int failed = 0;
    int reverted = 0;
    int ownReported = 0;
    auto nextUpdate = Clock::now();
    std::optional<Clock::time_point> stoppedAt;
    for (;;) {
        if (watcher.hasNews()) {
            const tvd::ConfigNews news = *watcher.takeNews();
            if (news.outcome == tvd::WatchOutcome::Read) {
                reverted += news.config.detection.cooldownMs != config.detection.cooldownMs;
                ownReported += news.changed("detection.cooldownMs");
                if (news.changed("detection.minDurationMs")) {
                    std::cout << "news " << news.config.detection.minDurationMs << '\n';
                }
                config = news.config;
            }
        }
        const auto now = Clock::now();
        if (!stoppedAt && std::filesystem::exists(stop)) {
            stoppedAt = now;
        }
        if (stoppedAt && now - *stoppedAt > std::chrono::milliseconds(1500)) {
            break;
        }
        if (!stoppedAt && now >= nextUpdate) {
            ++updates;
            const int next = config.detection.cooldownMs + 1;
            failed += !tvd::updateConfigJson(
                path, config, [next](tvd::Config& c) { c.detection.cooldownMs = next; });
            nextUpdate = now + interval;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::cout << "summary updates=" << updates << " failed=" << failed << " reverted=" << reverted
              << " own-reported=" << ownReported << " final=" << config.detection.cooldownMs
              << '\n';
    return 0;
}
