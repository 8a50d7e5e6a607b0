// Helpers shared by the test suites (unit, reliability, Windows): a logger that records what the
// code under test reports, a fixture with a private scratch directory, file helpers, and a
// line-per-field rendering of Config so that a failed comparison names the field that differs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <tarvik/common/Logging.h>
#include <tarvik/config/Config.h>
#include "platform/testing/FaultInjection.h"

namespace tarvik::testsupport {

namespace fs = std::filesystem;
using common::LogLevel;

struct LogEntry {
    LogLevel level;
    std::string text;
    bool operator==(const LogEntry& o) const { return level == o.level && text == o.text; }
};

inline void PrintTo(const LogEntry& entry, std::ostream* out) {
    *out << "{" << static_cast<int>(entry.level) << ", \"" << entry.text << "\"}";
}

using Log = std::vector<LogEntry>;

class RecordingLogger final : public common::ILogger {
public:
    using Hook = std::function<void(LogLevel, std::string_view)>;

    void log(LogLevel level, std::string_view message) override {
        Hook hook;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            entries_.push_back({level, std::string(message)});
            hook = onLog_;
        }
        // Outside the lock: a hook may act on the world (release a file, remove one) while the
        // code under test waits for the log call to return.
        if (hook) {
            hook(level, message);
        }
    }
    void setLevel(LogLevel) override {}
    LogLevel getLevel() const override { return LogLevel::Trace; }

    Log entries() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return entries_;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        entries_.clear();
    }
    // Whether any recorded message contains `text`.
    bool saw(const std::string& text) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::any_of(entries_.begin(), entries_.end(), [&text](const LogEntry& entry) {
            return entry.text.find(text) != std::string::npos;
        });
    }
    // Called after each message is recorded, on the logging thread; empty to stop.
    void setOnLog(Hook hook) {
        std::lock_guard<std::mutex> guard(mutex_);
        onLog_ = std::move(hook);
    }

private:
    mutable std::mutex mutex_;
    Log entries_;
    Hook onLog_;
};

// Records every message while the test runs, gives the test its own directory under the
// temporary directory, and disarms the fault seam afterwards so no fault leaks into the next test.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousLogger_ = common::globalLogger;
        common::globalLogger = logger_;
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        // Other build trees run the same tests at the same time: add a random part.
        dir_ = fs::temp_directory_path() /
               ("tarvik_unit_" + name + "_" + std::to_string(std::random_device{}()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        platform::testing::clearFaults();
        common::globalLogger = previousLogger_;
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Log log() const { return logger_->entries(); }
    RecordingLogger& recorder() { return *logger_; }

    fs::path dir_;

private:
    std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
    std::shared_ptr<common::ILogger> previousLogger_;
};

// The path as UTF-8, so that no character is lost on Windows (where string() would use the
// ANSI code page).
inline std::string utf8(const fs::path& path) {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.good()) {
        ADD_FAILURE() << "could not write " << utf8(path);
    }
}

// The file names in `directory`, as UTF-8, sorted.
inline std::vector<std::string> namesIn(const fs::path& directory) {
    std::vector<std::string> names;
    std::transform(fs::directory_iterator(directory), fs::directory_iterator(),
                   std::back_inserter(names),
                   [](const fs::directory_entry& entry) { return utf8(entry.path().filename()); });
    std::sort(names.begin(), names.end());
    return names;
}

// Hostile documents nested `levels` deep: arrays ("[[...]]") and objects ({"a":{"a":...1}}).
inline std::string nestedArrays(std::size_t levels) {
    return std::string(levels, '[') + std::string(levels, ']');
}

inline std::string nestedObjects(std::size_t levels) {
    std::string text;
    text.reserve(levels * 6 + 2);
    for (std::size_t i = 0; i < levels; ++i) {
        text += "{\"a\":";
    }
    text += "1";
    text.append(levels, '}');
    return text;
}

// One "field=value" line per field: the float as its bit pattern, wide text as hex code units,
// the time point as its tick count.
inline std::string describe(const driver::Config& c) {
    const auto wide = [](const std::wstring& text) {
        std::ostringstream out;
        for (const wchar_t unit : text) {
            out << std::hex << static_cast<std::uint32_t>(unit) << ' ';
        }
        return out.str();
    };
    std::uint32_t bits = 0;
    std::memcpy(&bits, &c.detection.sensitivity, sizeof bits);
    std::ostringstream out;
    out << "version=" << c.version << "\npattern=" << wide(c.audio.deviceNamePattern)
        << "\ndeviceId=" << wide(c.audio.deviceId) << "\nbufferSizeMs=" << c.audio.bufferSizeMs
        << "\nsensitivity=" << std::hex << bits << std::dec
        << "\nminDurationMs=" << c.detection.minDurationMs
        << "\ncooldownMs=" << c.detection.cooldownMs << "\nfftSize=" << c.detection.fftSize
        << "\nclick=" << c.steamvr.dashboardClickEnabled
        << "\nbinding=" << c.steamvr.customActionBinding << "\ndataFile=" << c.training.dataFile
        << "\nlastTrained="
        << (c.training.lastTrainedTimestamp
                ? std::to_string(c.training.lastTrainedTimestamp->time_since_epoch().count())
                : "absent")
        << "\ntray=" << c.shownTrayNotification << '\n';
    return out.str();
}

// True when `text` is UTF-8 and holds nothing that acts on a terminal or reorders the text
// around it: no C0 control but the line end, no DEL, no C1 control, no line or paragraph
// separator, no bidirectional mark, embedding, override or isolate.
inline bool terminalSafe(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || i + length > text.size()) {
            return false;
        }
        std::uint32_t c = length == 1 ? lead : lead & (0x7FU >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0U) != 0x80U) {
                return false;
            }
            c = (c << 6U) | (next & 0x3FU);
        }
        const bool control = (c < 0x20 && c != '\n') || (c >= 0x7F && c <= 0x9F);
        const bool reordering = c == 0x061C || c == 0x200E || c == 0x200F ||
                                (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
        if (control || reordering || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace tarvik::testsupport
