// Hunts faults in the log line: a wrong or unpadded time of day, a wrong level word, a level
// filter that lets DEBUG through or drops the minimum level itself, a message that is altered,
// and lines from two threads that interleave.
#include <ctime>
#include <functional>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include "common/ConsoleLogger.h"

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

}  // namespace
}  // namespace tarvik::common
