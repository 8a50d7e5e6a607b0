// Hunts a watcher held in a namespace-scope object and never stopped that crashes the exit: its
// destructor runs among the static destructors, in whatever order they come, after it saved
// while watching. Built twice: as the program, and (TARVIK_WATCH_MODULE) as a driver module that
// keeps its own such watcher.
//
//   exit_with_watcher <scratch directory> [<driver module> close|keep]   (a module: POSIX)
#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string_view>

#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigWatcher.h>

#ifdef _WIN32
#define TARVIK_EXPORTED
#else
#include <dlfcn.h>
#define TARVIK_EXPORTED __attribute__((visibility("default")))
#endif

namespace {
std::optional<tarvik::driver::ConfigWatcher> watcherNeverStopped;
}

// Watches `path`, saves and updates it, and waits for the first news: 0 when all went well.
extern "C" TARVIK_EXPORTED int tarvik_watch_and_save(const char* path) {
    namespace tvd = tarvik::driver;
    watcherNeverStopped.emplace(std::filesystem::path(path));
    tvd::Config config;
    const bool saved = tvd::saveConfigJson(path, config) &&
                       tvd::updateConfigJson(path, config, [](tvd::Config& c) { c.version = 2; });
    return saved && watcherNeverStopped->waitForNews(std::chrono::seconds(10)) ? 0 : 1;
}

#ifndef TARVIK_WATCH_MODULE
int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::cerr << "usage: exit_with_watcher <dir> [<module> close|keep]\n";
        return 2;
    }
    const std::filesystem::path target = std::filesystem::absolute(argv[1]) / "config.json";
    std::filesystem::remove_all(target.parent_path());
    std::filesystem::create_directories(target.parent_path());
    if (argc == 2) {
        return tarvik_watch_and_save(target.string().c_str());
    }
#ifndef _WIN32
    void* module = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    using Start = int (*)(const char*);
    const auto start = module == nullptr
                           ? nullptr
                           : reinterpret_cast<Start>(dlsym(module, "tarvik_watch_and_save"));
    if (start == nullptr || start(target.string().c_str()) != 0) {
        std::cerr << "exit_with_watcher: FAIL: the module did not start\n";
        return 1;
    }
    return std::string_view(argv[3]) == "close" && dlclose(module) != 0 ? 1 : 0;
#else
    return 2;
#endif
}
#endif
