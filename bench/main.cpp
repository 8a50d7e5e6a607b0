// The benchmark program: runs the suite with Google Benchmark and ends with a table of the
// layer's cost as ratios against the hand-written floors, next to the goals.
//
//   tarvik_bench [--benchmark_repetitions=N] [any other Google Benchmark flag]
//   tarvik_bench --once=<save|load|update|floor-save|floor-load> [--repeat=N] <directory>
//                runs one operation (N times) between two markers, for strace and callgrind
//
// Files go to $TARVIK_BENCH_DIR (default: ./bench-work, on the disk of the current directory)
// and to $TARVIK_BENCH_MEMORY_DIR (default: /dev/shm when it exists); both are removed at exit.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <tarvik/common/ConsoleLogger.h>
#include <tarvik/common/Logging.h>
#include "bench/BenchSupport.h"

namespace {

namespace fs = std::filesystem;

struct Sample {
    double realNs = 0;  // the benchmark's time per iteration
    std::map<std::string, double> counters;
};

double toNanoseconds(double value, benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kNanosecond:
            return value;
        case benchmark::kMicrosecond:
            return value * 1e3;
        case benchmark::kMillisecond:
            return value * 1e6;
        case benchmark::kSecond:
            return value * 1e9;
    }
    return value;
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string formatTime(double ns) {
    char text[32];
    if (std::isnan(ns)) {
        return "-";
    }
    if (ns < 1e3) {
        std::snprintf(text, sizeof(text), "%.1f ns", ns);
    } else if (ns < 1e6) {
        std::snprintf(text, sizeof(text), "%.2f us", ns / 1e3);
    } else if (ns < 1e9) {
        std::snprintf(text, sizeof(text), "%.2f ms", ns / 1e6);
    } else {
        std::snprintf(text, sizeof(text), "%.2f s", ns / 1e9);
    }
    return text;
}

std::string formatNumber(const char* format, double value) {
    if (std::isnan(value)) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

// The console output of Google Benchmark (only the aggregates when runs are repeated), then
// the table of ratios, computed from every repetition.
class RatioReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            const std::string name = run.run_name.function_name;
            if (run.error_occurred) {
                errors_[name] = run.error_message;
            } else if (run.run_type == Run::RT_Iteration) {
                samples_[name].push_back(sampleOf(run));
            } else if (run.aggregate_name == "median") {
                medians_[name] = sampleOf(run);
            }
            if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1 || run.error_occurred) {
                shown.push_back(run);
            }
        }
        if (!shown.empty()) {
            ConsoleReporter::ReportRuns(shown);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::ostream& out = GetOutputStream();
        printFloorTable(out);
        printGrowthTable(out);
        printPruneTable(out);
        for (const auto& [name, message] : errors_) {
            out << "ERROR in " << name << ": " << message << "\n";
        }
    }

    // True when a benchmark reported an error (a save or load that failed, say).
    bool failed() const { return !errors_.empty(); }

private:
    static Sample sampleOf(const Run& run) {
        Sample sample;
        sample.realNs = toNanoseconds(run.GetAdjustedRealTime(), run.time_unit);
        for (const auto& [key, counter] : run.counters) {
            sample.counters[key] = counter.value;
        }
        return sample;
    }

    // Values of one counter over the repetitions of `name` (or its median aggregate alone).
    std::vector<double> values(const std::string& name, const std::string& counter) const {
        std::vector<double> result;
        const auto pick = [&](const Sample& sample) {
            if (counter.empty()) {
                result.push_back(sample.realNs);
            } else if (const auto it = sample.counters.find(counter); it != sample.counters.end()) {
                result.push_back(it->second);
            }
        };
        if (const auto it = samples_.find(name); it != samples_.end()) {
            for (const Sample& sample : it->second) {
                pick(sample);
            }
        } else if (const auto found = medians_.find(name); found != medians_.end()) {
            pick(found->second);
        }
        return result;
    }

    double medianOf(const std::string& name, const std::string& counter) const {
        return median(values(name, counter));
    }

    void printFloorTable(std::ostream& out) const {
        struct Row {
            const char* name;
            const char* what;
            double goal;  // 0: no goal, shown for information
        };
        const Row rows[] = {
            {"save/disk", "save, durable, on disk", 1.05},
            {"save/memory", "save, durable, on /dev/shm", 1.20},
            {"load/default", "load of a saved default record", 1.10},
            {"update/disk", "update against load + save, disk", 1.05},
            {"update/memory", "update against load+save, /dev/shm", 1.05},
            {"log/discarded-debug", "discarded DEBUG via logConcat", 0},
            {"log/written-info", "written INFO line (null device)", 0},
            {"growth/load/1024", "load of a 1 KB document", 0},
            {"growth/load/1048576", "load of a 1 MB document", 0},
            {"growth/load/67108864", "load of a 64 MB document", 0},
        };
        out << "\nLayer against its floor (floor and layer alternate in one loop; ratio = "
               "layer / floor,\nmedian of the repetitions, spread = lowest..highest repetition)\n";
        char line[256];
        std::snprintf(line, sizeof(line), "%-34s %11s %11s %7s %15s %6s  %s\n", "what", "layer",
                      "floor", "ratio", "spread", "goal", "");
        out << line;
        for (const Row& row : rows) {
            const std::vector<double> ratios = values(row.name, "ratio");
            if (ratios.empty()) {
                continue;
            }
            const double ratio = median(ratios);
            const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
            const std::string spread =
                ratios.size() > 1 ? formatNumber("%.3f", *low) + ".." + formatNumber("%.3f", *high)
                                  : "-";
            const char* verdict = row.goal == 0 ? "" : (ratio <= row.goal ? "met" : "MISSED");
            std::snprintf(line, sizeof(line), "%-34s %11s %11s %7.3f %15s %6s  %s\n", row.what,
                          formatTime(medianOf(row.name, "layer_ns")).c_str(),
                          formatTime(medianOf(row.name, "floor_ns")).c_str(), ratio, spread.c_str(),
                          row.goal == 0 ? "-" : formatNumber("%.2f", row.goal).c_str(), verdict);
            out << line;
        }
    }

    void printGrowthTable(std::ostream& out) const {
        out << "\nLoad cost by document size (per byte of the file; heap peaks from a counting "
               "operator new)\n";
        char line[256];
        std::snprintf(line, sizeof(line), "%-24s %11s %11s %9s %12s %12s  %s\n", "document",
                      "bytes", "load", "ns/byte", "load peak/B", "read peak/B", "read goal <= 1.5");
        out << line;
        for (const char* size : {"1024", "1048576", "67108864"}) {
            const std::string name = std::string("growth/load/") + size;
            const double bytes = medianOf(name, "bytes");
            if (std::isnan(bytes)) {
                continue;
            }
            const double layerNs = medianOf(name, "layer_ns");
            const double readPeak = medianOf(name, "read_peak_per_byte");
            std::snprintf(line, sizeof(line), "%-24s %11.0f %11s %9.2f %12.2f %12.2f  %s\n",
                          name.c_str(), bytes, formatTime(layerNs).c_str(), layerNs / bytes,
                          medianOf(name, "load_peak_per_byte"), readPeak,
                          readPeak <= 1.5 ? "met" : "MISSED");
            out << line;
        }
    }

    // The layer's growth beyond the floor's (ratio at n over ratio at the previous n) must stay
    // within what n log n allows over linear work: log n / log n_previous.
    void printPruneTable(std::ostream& out) const {
        out << "\nQuarantine with n backups in the directory (move, listing, pruning to five; "
               "the floor\nunlinks the same files by hand, so its growth is the file system's)\n";
        char line[256];
        std::snprintf(line, sizeof(line), "%-8s %11s %11s %7s %11s %9s %9s %13s  %s\n", "files",
                      "layer", "floor", "ratio", "per file", "growth", "floor's", "ratio growth",
                      "(n log n allows)");
        out << line;
        double previousRatio = NAN;
        double previousNs = NAN;
        double previousFloorNs = NAN;
        double previousFiles = NAN;
        for (const char* count : {"10", "1000", "10000"}) {
            const std::string name = std::string("growth/prune/") + count;
            const double ns = medianOf(name, "layer_ns");
            const double floorNs = medianOf(name, "floor_ns");
            const double ratio = medianOf(name, "ratio");
            const double files = medianOf(name, "files");
            if (std::isnan(ns) || std::isnan(files)) {
                continue;
            }
            std::string growth = "-";
            std::string floorGrowth = "-";
            std::string ratioGrowth = "-";
            std::string allowed;
            if (!std::isnan(previousNs)) {
                const double logFactor = std::log(files) / std::log(previousFiles);
                growth = formatNumber("x%.1f", ns / previousNs);
                floorGrowth = formatNumber("x%.1f", floorNs / previousFloorNs);
                ratioGrowth = formatNumber("x%.2f", ratio / previousRatio);
                allowed = formatNumber("(x%.2f) ", logFactor) +
                          (ratio / previousRatio <= logFactor ? "met" : "MISSED");
            }
            std::snprintf(line, sizeof(line), "%-8s %11s %11s %7.3f %11s %9s %9s %13s  %s\n", count,
                          formatTime(ns).c_str(), formatTime(floorNs).c_str(), ratio,
                          formatTime(ns / files).c_str(), growth.c_str(), floorGrowth.c_str(),
                          ratioGrowth.c_str(), allowed.c_str());
            out << line;
            previousRatio = ratio;
            previousNs = ns;
            previousFloorNs = floorNs;
            previousFiles = files;
        }
    }

    std::map<std::string, std::vector<Sample>> samples_;
    std::map<std::string, Sample> medians_;
    std::map<std::string, std::string> errors_;
};

fs::path fromEnvironment(const char* variable, const fs::path& fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? fs::path(value) : fallback;
}

std::string uniqueName() {
    std::random_device random;
    char name[48];
    std::snprintf(name, sizeof(name), "tarvik-bench-%08x", static_cast<unsigned>(random()));
    return name;
}

// `tarvik_bench --once=<operation> [--repeat=N] <directory>`: 0, 1 or 2 (usage).
int runOnceFromArguments(int argc, char** argv) {
    constexpr std::string_view kRepeat = "--repeat=";
    const std::string_view operation = std::string_view(argv[1]).substr(std::strlen("--once="));
    int count = 1;
    int next = 2;
    if (next < argc && std::string_view(argv[next]).substr(0, kRepeat.size()) == kRepeat) {
        count = std::atoi(argv[next] + kRepeat.size());
        ++next;
    }
    if (next + 1 != argc || count < 0) {
        std::fprintf(stderr, "usage: tarvik_bench --once=<operation> [--repeat=N] <directory>\n");
        return 2;
    }
    return tarvik::bench::runOnce(operation, count, argv[next]);
}

}  // namespace

int main(int argc, char** argv) {
    // As in the driver: a console logger at INFO in the slot, so every load writes its line.
    tarvik::common::globalLogger = std::make_shared<tarvik::common::ConsoleLogger>();
    if (argc > 1 && std::string_view(argv[1]).substr(0, 7) == "--once=") {
        return runOnceFromArguments(argc, argv);
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }

    const std::string unique = uniqueName();
    tarvik::bench::WorkDirectories directories;
    directories.disk =
        fromEnvironment("TARVIK_BENCH_DIR", fs::current_path() / "bench-work") / unique;
    const fs::path memoryRoot = fromEnvironment("TARVIK_BENCH_MEMORY_DIR", "/dev/shm");
    std::error_code error;
    if (fs::is_directory(memoryRoot, error)) {
        directories.memory = memoryRoot / unique;
        fs::create_directories(directories.memory);
    }
    fs::create_directories(directories.disk);

    tarvik::bench::registerBenchmarks(directories);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    fs::remove_all(directories.disk, error);
    if (!directories.memory.empty()) {
        fs::remove_all(directories.memory, error);
    }
    // Figures are for reading, not for passing or failing; an operation that failed is not.
    return reporter.failed() ? 1 : 0;
}
