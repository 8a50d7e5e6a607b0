// The settings watcher's costs, for docs/benchmarks.md: what asking for news costs when nothing
// changed, how long another process's save takes to reach the watcher (an atomic save, and a
// write in place), how closely the driver follows a slider dragged in the tray application (a
// save every 16 ms), and what an idle watcher costs in CPU time and wake-ups. A small timing
// program rather than a Google Benchmark, so that it also runs on Windows (under Wine), where
// the figures that matter most come from.
//
//   tarvik_watch_bench [--smoke]            the measurements (--smoke: a few seconds)
//   tarvik_watch_bench saver FILE N PAUSE [inplace]
//                                           the other process: N saves of FILE, one every PAUSE
//                                           ms (atomic saves; "inplace": truncate, write,
//                                           close); then a line per save "<index> <steady clock
//                                           ns when it returned> <ns at its swap>"
//
// Files go to $TARVIK_BENCH_DIR (default: the temporary directory); they are removed at exit.
// The latency is measured from the moment the other process's saveConfigJson() returns (and,
// for an atomic save, from its swap: the test seam's hook just before the rename or
// ReplaceFileW) to the moment this process's waitForNews() returns with it. The save syncs the
// directory after its swap, so the news may come before the save returns: a negative figure.
// Both read the same monotonic clock
// (CLOCK_MONOTONIC; QueryPerformanceCounter on Windows), which is shared by all processes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigWatcher.h>
#include "bench/ProcessUsage.h"
#include "platform/testing/FaultInjection.h"
#include "platform/testing/OsTestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace tvd = tarvik::driver;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long long steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

tvd::Config numbered(int index) {
    tvd::Config config;
    config.detection.sensitivity = static_cast<float>(index) / 1000.0f;
    return config;
}

int indexOf(const tvd::Config& config) {
    return static_cast<int>(std::lround(config.detection.sensitivity * 1000.0f));
}

// The saves are paced by the clock, not by pauses after them, so that a slow save does not
// stretch the drag.
int runSaver(const fs::path& file, int count, int pauseMs, bool inPlace) {
    const auto start = Clock::now();
    long long swappedAt = 0;  // an atomic save: just before its rename or ReplaceFileW
    // Printed at the end: the watching process reads them once it has had the last news, and a
    // pipe's buffer (4 KB under Wine) would stall the saves behind unread lines.
    std::ostringstream lines;
    for (int index = 1; index <= count; ++index) {
        swappedAt = 0;
        if (inPlace) {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out << nlohmann::json(numbered(index)).dump(4);
            out.close();
            if (!out) {
                return 1;
            }
        } else {
            for (const auto swap : {tarvik::platform::testing::Operation::Replace,
                                    tarvik::platform::testing::Operation::MoveIntoPlace}) {
                tarvik::platform::testing::runBeforeNext(
                    swap, [&swappedAt] { swappedAt = steadyNanoseconds(); });
            }
            if (!tvd::saveConfigJson(file, numbered(index))) {
                return 1;
            }
        }
        const long long returnedAt = steadyNanoseconds();
        lines << index << ' ' << returnedAt << ' ' << (inPlace ? returnedAt : swappedAt) << '\n';
        std::this_thread::sleep_until(start + std::chrono::milliseconds(pauseMs) * index);
    }
    std::cout << lines.str() << std::flush;
    return 0;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    // The smallest value with at least `fraction` of the values at or below it.
    const double rank = std::ceil(fraction * static_cast<double>(values.size()));
    const auto at = rank < 1.0 ? std::size_t{0} : static_cast<std::size_t>(rank) - 1;
    return values[std::min(at, values.size() - 1)];
}

// A watcher on `file` whose first news has been taken.
std::optional<tvd::ConfigWatcher>& startWatcher(std::optional<tvd::ConfigWatcher>& watcher,
                                                const fs::path& file) {
    watcher.emplace(file);
    if (watcher->waitForNews(10s)) {
        (void)watcher->takeNews();
    }
    return watcher;
}

void measureAsking(const fs::path& file, bool smoke) {
    std::optional<tvd::ConfigWatcher> watcher;
    startWatcher(watcher, file);
    const long calls = smoke ? 1'000'000 : 100'000'000;
    std::vector<double> perCall;
    long answers = 0;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        for (long call = 0; call < calls; ++call) {
            answers += watcher->hasNews() ? 1 : 0;
        }
        perCall.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                          static_cast<double>(calls));
    }
    std::printf(
        "asking when nothing changed: %.2f ns per hasNews() (median of 5 runs of %ld "
        "calls; lowest %.2f, highest %.2f)%s\n",
        percentile(perCall, 0.5), calls, percentile(perCall, 0.0), percentile(perCall, 1.0),
        answers == 0 ? "" : " (news came meanwhile!)");
}

// What one run of the saving process gave: when each save returned, and when the driver took
// each news (the newest save it reported).
struct SaverRun {
    std::map<int, long long> savedAt;                  // index -> steady clock ns, returned
    std::map<int, long long> swappedAt;                // ... in place (the swap; in place: closed)
    std::vector<std::pair<long long, int>> newsTaken;  // (steady clock ns, index)
    bool complete = false;                             // the last save was reported
};

SaverRun runAgainstSaver(const fs::path& file, const fs::path& capture, int count, int pauseMs,
                         bool inPlace) {
    SaverRun run;
    std::optional<tvd::ConfigWatcher> watcher;
    startWatcher(watcher, file);
    tarvik::platform::testing::RunningProgram saver;
    const fs::path self = tarvik::platform::testing::executableDirectory() /
#ifdef _WIN32
                          "tarvik_watch_bench.exe";
#else
                          "tarvik_watch_bench";
#endif
    std::vector<std::string> arguments{"saver", file.u8string(), std::to_string(count),
                                       std::to_string(pauseMs)};
    if (inPlace) {
        arguments.emplace_back("inplace");
    }
    if (!saver.start(self, arguments, capture)) {
        std::printf("could not start the saving process\n");
        return run;
    }
    // The driver takes every news as it comes, until the last save's. A save whose news merged
    // with the next one's (a watcher that read late on a loaded machine) has no sample.
    int newest = 0;
    while (newest != count && watcher->waitForNews(10s)) {
        const long long now = steadyNanoseconds();
        if (const std::optional<tvd::ConfigNews> news = watcher->takeNews()) {
            newest = indexOf(news->config);
            run.newsTaken.emplace_back(now, newest);
        }
    }
    std::string line;
    while (saver.readLine(line, 10s)) {
        std::istringstream fields(line);
        int index = 0;
        long long savedAt = 0;
        long long swappedAt = 0;
        fields >> index >> savedAt >> swappedAt;
        run.savedAt[index] = savedAt;
        run.swappedAt[index] = swappedAt;
    }
    run.complete = saver.wait(10s) == 0 && newest == count;
    return run;
}

bool measureLatency(const fs::path& file, const fs::path& capture, bool smoke, bool inPlace) {
    const int count = smoke ? 5 : 200;
    const int pauseMs = 100;
    const SaverRun run = runAgainstSaver(file, capture, count, pauseMs, inPlace);
    std::vector<double> fromReturn;
    std::vector<double> fromSwap;
    for (const auto& [at, index] : run.newsTaken) {
        if (const auto saved = run.savedAt.find(index); saved != run.savedAt.end()) {
            fromReturn.push_back(static_cast<double>(at - saved->second) / 1e6);
            fromSwap.push_back(static_cast<double>(at - run.swappedAt.at(index)) / 1e6);
        }
    }
    std::printf(
        "latency of another process's %s: %zu of %d saves (%d ms apart) reported; from the "
        "save returning to the news median %.2f ms, 99th percentile %.2f ms, lowest %.2f ms, "
        "highest %.2f ms",
        inPlace ? "write in place (truncate, write, close)" : "atomic save", fromReturn.size(),
        count, pauseMs, percentile(fromReturn, 0.5), percentile(fromReturn, 0.99),
        percentile(fromReturn, 0.0), percentile(fromReturn, 1.0));
    if (!inPlace) {
        std::printf(
            "; from its swap (just before the rename or ReplaceFileW) median %.2f ms, "
            "99th percentile %.2f ms",
            percentile(fromSwap, 0.5), percentile(fromSwap, 0.99));
    }
    std::printf("\n");
    return run.complete;
}

// A slider dragged in the tray application for 3 s: an atomic save every 16 ms, a frame. The
// longest gap between two news while the saves arrive, and the staleness: at every millisecond
// of the drag, how much older the newest save the driver has taken is than the newest save in
// place (0 while it holds the newest; a save counts from its swap).
bool measureDrag(const fs::path& file, const fs::path& capture, bool smoke) {
    const int count = smoke ? 30 : 188;
    const int pauseMs = 16;
    const SaverRun run = runAgainstSaver(file, capture, count, pauseMs, /*inPlace=*/false);
    if (run.swappedAt.size() != static_cast<std::size_t>(count) || run.newsTaken.empty()) {
        std::printf("slider drag: the run was incomplete\n");
        return false;
    }
    const long long first = run.swappedAt.begin()->second;
    const long long last = run.swappedAt.rbegin()->second;
    double longestGap = 0;
    long long previous = first;  // the first save: no news is due before it
    for (const auto& [at, index] : run.newsTaken) {
        if (at > first) {
            longestGap = std::max(longestGap, static_cast<double>(at - previous) / 1e6);
            previous = at;
        }
    }
    std::vector<double> staleness;
    auto made = run.swappedAt.begin();  // the newest save in place (the map is in save order)
    std::size_t taken = 0;              // news taken so far
    int held = 0;                       // the newest save the driver holds
    for (long long t = first; t <= last; t += 1'000'000) {
        while (std::next(made) != run.swappedAt.end() && std::next(made)->second <= t) {
            ++made;
        }
        while (taken < run.newsTaken.size() && run.newsTaken[taken].first <= t) {
            held = std::max(held, run.newsTaken[taken].second);
            ++taken;
        }
        const long long newestHeld = held > 0 ? run.swappedAt.at(held) : first;
        staleness.push_back(static_cast<double>(std::max(0LL, made->second - newestHeld)) / 1e6);
    }
    std::printf(
        "slider drag, %d atomic saves %d ms apart: %zu news taken; longest gap between news "
        "%.1f ms; staleness (newest saved vs newest reported) median %.1f ms, 95th "
        "percentile %.1f ms, highest %.1f ms\n",
        count, pauseMs, run.newsTaken.size(), longestGap, percentile(staleness, 0.5),
        percentile(staleness, 0.95), percentile(staleness, 1.0));
    return run.complete;
}

enum class Idle { NoWatcher, Notifications, Polling };

void measureIdle(const fs::path& file, bool smoke, Idle mode) {
    const auto idle = smoke ? 2s : 60s;
    if (mode == Idle::Polling) {
        tarvik::platform::testing::failNext(tarvik::platform::testing::Operation::Watch, 1, -1);
    }
    std::optional<tvd::ConfigWatcher> watcher;
    if (mode != Idle::NoWatcher) {
        startWatcher(watcher, file);
    }
    tarvik::platform::testing::clearFaults();
    std::this_thread::sleep_for(100ms);  // let the start settle
    const tarvik::bench::ProcessUsage before = tarvik::bench::processUsage();
    std::this_thread::sleep_for(idle);  // one sleep of this thread: one switch of its own
    const tarvik::bench::ProcessUsage after = tarvik::bench::processUsage();
    const double minutes = std::chrono::duration<double>(idle).count() / 60.0;
    const double cpuMs = (after.cpuSeconds - before.cpuSeconds) * 1000.0;
    std::printf(
        "idle for %lld s, %s: CPU %.1f ms (%.1f ms per minute)",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(idle).count()),
        mode == Idle::NoWatcher ? "no watcher (the baseline)"
                                : (mode == Idle::Polling ? "polling (notifications forced off)"
                                                         : "watching with notifications"),
        cpuMs, cpuMs / minutes);
    if (before.voluntarySwitches >= 0) {
        const long switches = after.voluntarySwitches - before.voluntarySwitches - 1;
        std::printf(
            ", %ld wake-ups (%.1f per minute; voluntary context switches, less the "
            "measuring thread's own)",
            switches, static_cast<double>(switches) / minutes);
    }
    std::printf("%s\n", watcher && watcher->hasNews() ? " (news came meanwhile!)" : "");
}

fs::path workDirectory() {
    const char* configured = std::getenv("TARVIK_BENCH_DIR");
    const fs::path root = configured != nullptr && *configured != '\0' ? fs::path(configured)
                                                                       : fs::temp_directory_path();
    std::random_device random;
    return root / ("tarvik-watch-bench-" + std::to_string(random()));
}

}  // namespace

int main(int argc, char** argv) {
    tarvik::common::globalLogger.reset();  // the saves and loads need not say anything here
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if ((arguments.size() == 4 || arguments.size() == 5) && arguments[0] == "saver") {
        return runSaver(fs::u8path(arguments[1]), std::stoi(arguments[2]), std::stoi(arguments[3]),
                        arguments.size() == 5 && arguments[4] == "inplace");
    }
    const bool smoke = arguments.size() == 1 && arguments[0] == "--smoke";
    if (!arguments.empty() && !smoke) {
        std::cerr << "usage: tarvik_watch_bench [--smoke]\n";
        return 2;
    }
    const fs::path directory = workDirectory();
    const fs::path file = directory / "settings" / "config.json";
    fs::create_directories(directory / "capture");
    if (!tvd::saveConfigJson(file, tvd::Config{})) {
        std::cerr << "could not save " << file.string() << '\n';
        return 1;
    }
    measureAsking(file, smoke);
    bool complete = measureLatency(file, directory / "capture", smoke, /*inPlace=*/false);
    complete = measureLatency(file, directory / "capture", smoke, /*inPlace=*/true) && complete;
    complete = measureDrag(file, directory / "capture", smoke) && complete;
    measureIdle(file, smoke, Idle::NoWatcher);
    measureIdle(file, smoke, Idle::Notifications);
    measureIdle(file, smoke, Idle::Polling);
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    if (smoke) {
        std::printf("(smoke run: a few samples each; the figures mean little)\n");
    }
    return complete ? 0 : 1;
}
