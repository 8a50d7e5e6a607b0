// Shared pieces of the benchmark suite: the hand-written floors that the layer is compared
// with, a heap counter for peak-memory figures, and the paired timing loop.
//
// Every comparison runs the floor and the layer alternately inside one benchmark loop, each
// timed on its own, so that a shared machine's drift hits both sides alike; the reported
// ratio is layer time / floor time.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

namespace tarvik::bench {

// ---- The floors: the bare system calls, with nothing of the layer in between ----------------
// They live in one OS-specific file (BaselinePosix.cpp) because a floor is, by definition, the
// system calls themselves; going through the platform layer would measure the layer twice.
namespace baseline {

// The durable replace under the saves' lock, nothing more: open the directory and flock it,
// open("<name>.tmp", create|truncate), one write, fdatasync (the sync the layer uses), close,
// rename over "<name>", fsync and close of the directory (which drops the lock): 9 calls.
// Returns false if any call fails.
bool writeDurably(const std::filesystem::path& directory, const std::string& name,
                  std::string_view bytes);

// open, fstat, one read into a string sized from fstat, close.
bool readFile(const std::filesystem::path& path, std::string& contents);

// The quarantine's unavoidable work: rename `corrupt` to `backup` in the same directory, list
// the directory (opendir/readdir), keep the five greatest names that start with `prefix` and
// unlink the others. Returns false if the rename or the listing fails.
bool quarantine(const std::filesystem::path& corrupt, const std::filesystem::path& backup,
                std::string_view prefix);

// Creates `count` empty files named `prefix` followed by distinct, old time stamps.
void makeBackups(const std::filesystem::path& directory, std::string_view prefix, int count);

// One system call that names `label` and does nothing (access() of a name that does not exist),
// so that a trace (strace) can find where a measured operation begins and ends.
void markTrace(const char* label);

// Local calendar time as the console logger's clock conversion gives it (localtime_r).
std::tm localTime(std::time_t seconds);

// A descriptor on the null device: write() is one write(2) whose bytes the kernel discards.
class NullDevice {
public:
    NullDevice();
    ~NullDevice();
    NullDevice(const NullDevice&) = delete;
    NullDevice& operator=(const NullDevice&) = delete;
    bool isOpen() const { return fd_ >= 0; }
    void write(std::string_view bytes) const;

private:
    int fd_ = -1;
};

// Points the standard error descriptor at the null device for the scope. The console logger
// still formats its line and makes its write(2); only the kernel drops the bytes.
class StderrToNull {
public:
    StderrToNull();
    ~StderrToNull();
    StderrToNull(const StderrToNull&) = delete;
    StderrToNull& operator=(const StderrToNull&) = delete;

private:
    int saved_ = -1;
};

}  // namespace baseline

// ---- Heap accounting (every operator new/delete of the program goes through it) -------------
std::size_t heapInUse();
std::size_t heapPeak();
// Starts a new peak measurement from the bytes in use now.
void resetHeapPeak();

// The heap bytes that `work` needed at its peak, beyond what was in use before it started.
template <typename Work>
std::size_t peakHeapOf(Work&& work) {
    resetHeapPeak();
    const std::size_t before = heapInUse();
    work();
    return heapPeak() - before;
}

// ---- The paired loop ------------------------------------------------------------------------

// The median of `values` (which it reorders).
double medianOf(std::vector<double>& values);

// Runs `floor` and `layer` once each per iteration, in alternating order, timing each alone.
// Reports the layer's time as the benchmark's (manual) time, and the counters floor_ns and
// layer_ns (median time of one operation: an iteration does `operationsPerIteration` of them,
// so that operations far shorter than a clock read can be timed in batches) and ratio (of the
// medians). Medians, not means: on a shared machine another process that preempts one call
// would otherwise charge its time to one side only. Register with UseManualTime().
//
// runPreparedPair does the same, but calls `prepare` (untimed) before each of the two timed
// calls, for operations that consume what they work on.
template <typename Prepare, typename Floor, typename Layer>
void runPreparedPair(benchmark::State& state, double operationsPerIteration, Prepare&& prepare,
                     Floor&& floor, Layer&& layer) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> floorTimes;
    std::vector<double> layerTimes;
    bool floorFirst = true;
    const auto timed = [&prepare](auto& work) {
        prepare();
        const auto start = Clock::now();
        work();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    for (auto _ : state) {
        double floorTime = 0;
        double layerTime = 0;
        if (floorFirst) {
            floorTime = timed(floor);
            layerTime = timed(layer);
        } else {
            layerTime = timed(layer);
            floorTime = timed(floor);
        }
        floorFirst = !floorFirst;
        floorTimes.push_back(floorTime);
        layerTimes.push_back(layerTime);
        state.SetIterationTime(layerTime);
    }
    const double toNanosPerOperation = 1e9 / operationsPerIteration;
    const double floorMedian = medianOf(floorTimes);
    const double layerMedian = medianOf(layerTimes);
    state.counters["floor_ns"] = floorMedian * toNanosPerOperation;
    state.counters["layer_ns"] = layerMedian * toNanosPerOperation;
    state.counters["ratio"] = floorMedian > 0 ? layerMedian / floorMedian : 0.0;
}

template <typename Floor, typename Layer>
void runPaired(benchmark::State& state, double operationsPerIteration, Floor&& floor,
               Layer&& layer) {
    runPreparedPair(
        state, operationsPerIteration, [] {}, floor, layer);
}

// Where the benchmarks put their files.
struct WorkDirectories {
    std::filesystem::path disk;    // on the disk that holds the build tree (or as configured)
    std::filesystem::path memory;  // on a memory file system; empty when there is none
};

void registerBenchmarks(const WorkDirectories& directories);

// Runs one operation `count` times in `directory`, for strace and callgrind: "save", "load"
// and "update" of the layer, "floor-save" and "floor-load". The file is saved first, so that
// each save replaces it and each load reads it, and the operation runs once more untimed (the
// time zone is loaded then); the `count` runs lie between two markTrace() calls named
// "tarvik-bench-begin" and "tarvik-bench-end". Standard error goes to the null device
// meanwhile. Returns the process's exit status: 0 when every call succeeded.
int runOnce(std::string_view operation, int count, const std::filesystem::path& directory);

}  // namespace tarvik::bench
