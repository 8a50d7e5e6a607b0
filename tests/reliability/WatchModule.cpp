// A driver module for exit_with_watcher: it keeps its watcher in a namespace-scope object that
// it never stops, as a driver that relies on static destruction does.
#include <chrono>
#include <filesystem>
#include <optional>

#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigWatcher.h>

namespace {
std::optional<tarvik::driver::ConfigWatcher> moduleWatcher;
}

extern "C" __attribute__((visibility("default"))) int tarvik_watch_module_start(const char* path) {
    namespace tvd = tarvik::driver;
    moduleWatcher.emplace(std::filesystem::path(path));
    tvd::Config config;
    const bool saved = tvd::saveConfigJson(path, config) &&
                       tvd::updateConfigJson(path, config, [](tvd::Config& c) { c.version = 2; });
    return saved && moduleWatcher->waitForNews(std::chrono::seconds(10)) ? 0 : 1;
}
