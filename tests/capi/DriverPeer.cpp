// The driver's side of the tray tests: a C++ program that changes its own setting
// (detection.cooldownMs, one up) with updateConfigJson every interval, as a running driver
// does, while a tray application in another language changes another one. It hunts lost
// changes in both directions: its own count must arrive whole in the file, and the tray's
// setting, as each of its updates finds it, must never go back (a stale write by either side).
//
//   tarvik_driver_peer <config.json> <rounds> <interval ms>
//
// Prints one line "updates=N failed=N tray_went_back=N cooldown=N" and exits 0 when nothing
// failed and nothing went back.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>

namespace tvd = tarvik::driver;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: tarvik_driver_peer <config.json> <rounds> <interval ms>\n";
        return 2;
    }
    const std::filesystem::path path = argv[1];
    const int rounds = std::atoi(argv[2]);
    const auto interval = std::chrono::milliseconds(std::atoi(argv[3]));
    int updates = 0;
    int failed = 0;
    int trayWentBack = 0;
    std::int32_t trayValue = -1;
    std::int32_t cooldown = 0;
    auto next = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        tvd::Config config;
        if (tvd::updateConfigJson(path, config, [](tvd::Config& c) { ++c.detection.cooldownMs; })) {
            ++updates;
            if (config.detection.minDurationMs < trayValue) {
                ++trayWentBack;
            }
            trayValue = config.detection.minDurationMs;
            cooldown = config.detection.cooldownMs;
        } else {
            ++failed;
        }
        next += interval;
        std::this_thread::sleep_until(next);
    }
    std::cout << "updates=" << updates << " failed=" << failed << " tray_went_back=" << trayWentBack
              << " cooldown=" << cooldown << std::endl;
    return failed == 0 && trayWentBack == 0 ? 0 : 1;
}
