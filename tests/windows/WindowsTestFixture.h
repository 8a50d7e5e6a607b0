// Shared by the Windows tests: a scratch directory per test, a logger that records every
// message (and can act on one), and a file held open by the helper process
// tarvik_file_holder, which stands for another program on the machine.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/Logging.h"
#include "platform/testing/FaultInjection.h"
#include "platform/testing/WindowsTestSupport.h"

namespace tarvik::windows_tests {

using common::LogLevel;

struct LogLine {
    LogLevel level;
    std::string text;
    bool operator==(const LogLine& other) const {
        return level == other.level && text == other.text;
    }
};

inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << static_cast<int>(line.level) << ": " << line.text;
}

class RecordingLogger final : public common::ILogger {
public:
    void log(LogLevel level, std::string_view message) override {
        lines.push_back({level, std::string(message)});
        if (onLog) {
            onLog(level, message);
        }
    }
    void setLevel(LogLevel minLevel) override { level_ = minLevel; }
    LogLevel getLevel() const override { return level_; }

    std::vector<LogLine> lines;
    // Called after each message is recorded, on the logging thread.
    std::function<void(LogLevel, std::string_view)> onLog;

private:
    LogLevel level_ = LogLevel::Trace;
};

// The path as our messages are expected to show it: UTF-8, so that no character is lost.
inline std::string utf8(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "could not write " << utf8(path);
}

// Names of the entries of `directory`, as UTF-8, sorted.
inline std::vector<std::string> entryNames(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(utf8(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

class WindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // Parameterised names hold '/', a separator here: keep one directory per test.
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        scratch_ = std::filesystem::temp_directory_path() / "tarvik_windows_tests" / name;
        std::filesystem::remove_all(scratch_);
        std::filesystem::create_directories(scratch_);
        logger_ = std::make_shared<RecordingLogger>();
        common::globalLogger = logger_;
    }

    void TearDown() override {
        platform::testing::clearFaults();
        common::globalLogger.reset();
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

    const std::filesystem::path& scratch() const { return scratch_; }
    RecordingLogger& logger() { return *logger_; }

private:
    std::filesystem::path scratch_;
    std::shared_ptr<RecordingLogger> logger_;
};

// `path` held open by another process with the given sharing until release() or the end of
// the scope. held() tells whether the helper has the file open; status() what it said.
class FileHeldByOtherProcess {
public:
    FileHeldByOtherProcess(const std::filesystem::path& path, platform::testing::Sharing sharing) {
        const std::filesystem::path helper =
            platform::testing::executableDirectory() / "tarvik_file_holder.exe";
        const wchar_t* mode = sharing == platform::testing::Sharing::None ? L"none" : L"nodelete";
        if (const auto error = helper_.start(helper, {mode, path.wstring()}); error != 0) {
            status_ = "could not start " + utf8(helper) + ": error " + std::to_string(error);
            return;
        }
        helper_.readLine(status_);
    }

    bool held() const { return status_ == "held"; }
    const std::string& status() const { return status_; }

    // Makes the helper close the file; returns once it has.
    bool release() {
        std::string answer;
        return helper_.writeLine("release") && helper_.readLine(answer) && answer == "released";
    }

private:
    platform::testing::ChildProcess helper_;
    std::string status_;
};

}  // namespace tarvik::windows_tests
