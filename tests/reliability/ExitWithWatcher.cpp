// Hunts a watcher held in a namespace-scope object and never stopped that crashes the exit: its
// destructor runs among the static destructors, in whatever order they come, after it saved
// while watching.
//
//   exit_with_watcher program <scratch directory>
//   exit_with_watcher module <driver module> <scratch directory> close|keep   (POSIX)
//
// Exits 0 when everything went as it should; any crash at exit shows in the exit status.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigWatcher.h>

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

namespace fs = std::filesystem;
namespace tvd = tarvik::driver;

std::optional<tvd::ConfigWatcher> programWatcher;  // never reset: static destruction ends it

int fail(const std::string& why) {
    std::cerr << "exit_with_watcher: FAIL: " << why << '\n';
    return 1;
}

fs::path freshFile(const std::string& directory) {
    const fs::path target = fs::absolute(fs::path(directory)) / "config.json";
    fs::remove_all(target.parent_path());
    fs::create_directories(target.parent_path());
    return target;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "program" && argc == 3) {
        const fs::path target = freshFile(argv[2]);
        programWatcher.emplace(target);
        tvd::Config config;
        if (!tvd::saveConfigJson(target, config) ||
            !tvd::updateConfigJson(target, config, [](tvd::Config& c) { c.version = 2; })) {
            return fail("the saves failed");
        }
        return programWatcher->waitForNews(std::chrono::seconds(10)) ? 0 : fail("no news");
    }
#ifndef _WIN32
    if (mode == "module" && argc == 5) {
        const fs::path target = freshFile(argv[3]);
        void* module = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            return fail(std::string("dlopen: ") + dlerror());
        }
        using Start = int (*)(const char*);
        const auto start = reinterpret_cast<Start>(dlsym(module, "tarvik_watch_module_start"));
        if (start == nullptr || start(target.string().c_str()) != 0) {
            return fail("the module's start failed");
        }
        if (std::string(argv[4]) == "close" && dlclose(module) != 0) {
            return fail(std::string("dlclose: ") + dlerror());
        }
        return 0;
    }
#endif
    std::cerr << "usage: exit_with_watcher program <dir> | module <module> <dir> close|keep\n";
    return 2;
}
