// Hunts faults in the log line: a wrong or unpadded time of day, a wrong level word, a level
// filter that lets DEBUG through or drops the minimum level itself, a message that is altered,
// lines from two threads that interleave, a time before 1970 whose seconds and milliseconds
// disagree, and a failing error stream that makes logging throw or stay silent afterwards.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <tarvik/common/ConsoleLogger.h>
#include <tarvik/config/ConfigFile.h>
#include "platform/Time.h"
#include "platform/testing/FaultInjection.h"

namespace tarvik::common {
namespace {

// Redirects std::cerr into a string for one scope.
class CerrCapture {
public:
    CerrCapture() : previous_(std::cerr.rdbuf(buffer_.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(previous_); }
    CerrCapture(const CerrCapture&) = delete;
    CerrCapture& operator=(const CerrCapture&) = delete;
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* previous_;
};

const char kPrefix[] = R"(\[\d{2}:\d{2}:\d{2}\.\d{3}\] \[)";

std::string logged(ConsoleLogger& logger, LogLevel level, std::string_view message) {
    CerrCapture capture;
    logger.log(level, message);
    return capture.text();
}

// 100 ns ticks of a local calendar time on 2024-03-10.
std::int64_t ticksAtLocal(int hour, int minute, int second, int millis) {
    std::tm local{};
    local.tm_year = 2024 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 10;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&local)) * 10'000'000 + millis * 10'000LL;
}

TEST(ConsoleLoggerTest, EachNamedLevelIsWrittenWithItsWord) {
    ConsoleLogger logger(LogLevel::Trace);
    const char* words[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    for (int level = 0; level <= 5; ++level) {
        const std::string line = logged(logger, static_cast<LogLevel>(level), "disk full: 12 %");
        EXPECT_TRUE(std::regex_match(
            line, std::regex(kPrefix + std::string(words[level]) + R"(\] disk full: 12 %\n)")))
            << line;
    }
}

TEST(ConsoleLoggerTest, TimeOfDayIsPaddedToTwoAndThreeDigits) {
    EXPECT_EQ(formatConsoleLine(ticksAtLocal(0, 0, 0, 0), LogLevel::Warn, "m"),
              "[00:00:00.000] [WARN] m\n");
    EXPECT_EQ(formatConsoleLine(ticksAtLocal(9, 5, 3, 7), LogLevel::Warn, "m"),
              "[09:05:03.007] [WARN] m\n");
    EXPECT_EQ(formatConsoleLine(ticksAtLocal(14, 30, 0, 45), LogLevel::Info, "m"),
              "[14:30:00.045] [INFO] m\n");
    EXPECT_EQ(formatConsoleLine(ticksAtLocal(23, 59, 59, 999) + 9'999, LogLevel::Error, "m"),
              "[23:59:59.999] [ERROR] m\n");
}

// Seconds and milliseconds must name the same instant also before 1970, where truncating the
// one and flooring the other would put half a second before the epoch at 00:00:00.500.
TEST(ConsoleLoggerTest, TimeBeforeTheEpochIsRoundedDownToTheMillisecond) {
    const auto clock = [](std::time_t seconds) {
        const std::tm local = platform::localCalendarTime(seconds);
        char text[16];
        std::snprintf(text, sizeof text, "[%02d:%02d:%02d.", local.tm_hour, local.tm_min,
                      local.tm_sec);
        return std::string(text);
    };
    EXPECT_EQ(formatConsoleLine(-5'000'000, LogLevel::Info, "m"), clock(-1) + "500] [INFO] m\n");
    EXPECT_EQ(formatConsoleLine(-1, LogLevel::Info, "m"), clock(-1) + "999] [INFO] m\n");
    EXPECT_EQ(formatConsoleLine(-10'000'000, LogLevel::Info, "m"), clock(-1) + "000] [INFO] m\n");
    EXPECT_EQ(formatConsoleLine(-15'000'000, LogLevel::Info, "m"), clock(-2) + "500] [INFO] m\n");
    EXPECT_EQ(formatConsoleLine(5'000'000, LogLevel::Info, "m"), clock(0) + "500] [INFO] m\n");
}

TEST(ConsoleLoggerTest, OnlyMessagesAtOrAboveTheMinimumAreWritten) {
    ConsoleLogger logger;  // INFO
    EXPECT_EQ(logged(logger, LogLevel::Debug, "hidden"), "");
    EXPECT_NE(logged(logger, LogLevel::Info, "shown"), "");
    logger.setLevel(static_cast<LogLevel>(6));
    EXPECT_EQ(logged(logger, LogLevel::Fatal, "hidden"), "");
    logger.setLevel(LogLevel::Trace);
    EXPECT_NE(logged(logger, LogLevel::Trace, "shown"), "");
    EXPECT_EQ(logged(logger, static_cast<LogLevel>(-1), "negative"), "");
}

TEST(ConsoleLoggerTest, LevelOutsideTheScaleIsUnknown) {
    ConsoleLogger logger;
    const std::string line = logged(logger, static_cast<LogLevel>(6), "odd");
    EXPECT_TRUE(std::regex_match(line, std::regex(kPrefix + std::string(R"(UNKNOWN\] odd\n)"))))
        << line;
}

TEST(ConsoleLoggerTest, MessageIsWrittenUnchanged) {
    ConsoleLogger logger;
    const std::string empty = logged(logger, LogLevel::Info, "");
    EXPECT_EQ(empty.substr(empty.size() - 3), "] \n");
    const std::string twoLines = logged(logger, LogLevel::Info, "first\nsecond");
    EXPECT_EQ(twoLines.substr(twoLines.find("] [")), "] [INFO] first\nsecond\n");
}

TEST(ConsoleLoggerTest, TwoThreadsProduceOnlyWholeLines) {
    constexpr int kLines = 2000;
    ConsoleLogger first;
    ConsoleLogger second;  // a second instance shares the same lock
    std::string text;
    {
        CerrCapture capture;
        const auto writer = [](ConsoleLogger& logger, char name) {
            for (int i = 0; i < kLines; ++i) {
                logger.log(LogLevel::Info, std::string(1, name) + " " + std::to_string(i) +
                                               " the quick brown fox jumps over the lazy dog");
            }
        };
        std::thread a(writer, std::ref(first), 'A');
        std::thread b(writer, std::ref(second), 'B');
        a.join();
        b.join();
        text = capture.text();
    }
    const std::regex line(
        kPrefix +
        std::string(R"(INFO\] ([AB]) (\d+) the quick brown fox jumps over the lazy dog)"));
    int next[2] = {0, 0};
    std::istringstream lines(text);
    for (std::string current; std::getline(lines, current);) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(current, match, line)) << current;
        const int thread = match[1] == "A" ? 0 : 1;
        ASSERT_EQ(std::stoi(match[2]), next[thread]) << current;
        ++next[thread];
    }
    EXPECT_EQ(next[0], kLines);
    EXPECT_EQ(next[1], kLines);
}

// A stream buffer whose device can be made to fail, as stderr does on a full disk.
class SwitchableBuffer : public std::streambuf {
public:
    bool failing = true;
    std::string text;

protected:
    int_type overflow(int_type c) override {
        if (failing) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            text.push_back(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        if (failing) {
            return 0;
        }
        text.append(data, static_cast<std::size_t>(count));
        return count;
    }
    int sync() override { return failing ? -1 : 0; }
};

// Puts `buffer` behind std::cerr with the exceptions a host program may ask for, for one scope.
class FailingCerr {
public:
    explicit FailingCerr(SwitchableBuffer& buffer) : previous_(std::cerr.rdbuf(&buffer)) {
        std::cerr.exceptions(std::ios_base::badbit);
    }
    ~FailingCerr() {
        std::cerr.exceptions(std::ios_base::goodbit);
        std::cerr.rdbuf(previous_);
    }
    FailingCerr(const FailingCerr&) = delete;
    FailingCerr& operator=(const FailingCerr&) = delete;

private:
    std::streambuf* previous_;
};

// Logging never throws for the stream's sake, and one failed write does not silence the lines
// after it once the device works again; nor does a stream that the host itself left failed.
TEST(ConsoleLoggerTest, FailedErrorStreamNeitherThrowsNorSilencesLaterLines) {
    SwitchableBuffer buffer;
    ConsoleLogger logger;
    {
        FailingCerr failing(buffer);
        EXPECT_NO_THROW(logger.log(LogLevel::Error, "lost"));
        buffer.failing = false;
        EXPECT_NO_THROW(logger.log(LogLevel::Error, "kept"));
        EXPECT_EQ(std::cerr.exceptions(), std::ios_base::badbit);  // the host's mask is kept
        EXPECT_TRUE(std::cerr.good());
    }
    EXPECT_TRUE(
        std::regex_match(buffer.text, std::regex(kPrefix + std::string(R"(ERROR\] kept\n)"))))
        << buffer.text;

    SwitchableBuffer working;
    working.failing = false;
    std::streambuf* const previous = std::cerr.rdbuf(&working);
    std::cerr.setstate(std::ios_base::badbit);  // a failed write of the host's own
    logger.log(LogLevel::Error, "after the host's failure");
    std::cerr.rdbuf(previous);  // clears the state as well
    EXPECT_TRUE(std::regex_match(
        working.text, std::regex(kPrefix + std::string(R"(ERROR\] after the host's failure\n)"))))
        << working.text;
}

// A host that emptied the logger slot wants no output from the library, whatever the level.
TEST(ConsoleLoggerTest, NothingReachesTheErrorStreamWithoutALogger) {
    const auto previousLogger = globalLogger;
    globalLogger.reset();
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("tarvik_unit_silent_" + std::to_string(std::random_device{}()));
    std::string text;
    {
        CerrCapture capture;
        for (int level = 0; level <= 6; ++level) {
            logMessage(static_cast<LogLevel>(level), "dropped");
        }
        platform::testing::ScopedFault fault(platform::testing::Operation::MoveIntoPlace, 13);
        (void)driver::saveConfigJson(dir / "config.json", driver::Config{});  // logs an ERROR
        text = capture.text();
    }
    globalLogger = previousLogger;
    std::filesystem::remove_all(dir);
    EXPECT_EQ(text, "");
}

// A logger that throws out of a failed save would skip its clean-up and leave ".tmp" behind.
TEST(ConsoleLoggerTest, FailedErrorStreamChangesNoOutcomeOfASave) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("tarvik_unit_logger_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    const auto previousLogger = globalLogger;
    globalLogger = std::make_shared<ConsoleLogger>();
    SwitchableBuffer buffer;
    bool saved = true;
    {
        FailingCerr failing(buffer);
        platform::testing::ScopedFault fault(platform::testing::Operation::MoveIntoPlace, 13);
        EXPECT_NO_THROW(saved = driver::saveConfigJson(dir / "config.json", driver::Config{}));
    }
    globalLogger = previousLogger;
    const bool leftover = std::filesystem::exists(dir / "config.json.tmp");
    std::filesystem::remove_all(dir);
    EXPECT_FALSE(saved);
    EXPECT_FALSE(leftover);
}

}  // namespace
}  // namespace tarvik::common
