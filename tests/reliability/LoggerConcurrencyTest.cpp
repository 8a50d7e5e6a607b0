// Lines logged by many threads at once must come out whole: a console logger that wrote a
// line in pieces, or without its lock, would interleave characters of different messages.
// Under ThreadSanitizer the same test also hunts data races in the logging path.
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <tarvik/common/ConsoleLogger.h>
#include <tarvik/common/Logging.h>

using tarvik::common::ConsoleLogger;
using tarvik::common::LogLevel;

namespace {

TEST(LoggerConcurrency, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 8;
    constexpr int kMessages = 400;
    std::ostringstream captured;
    std::streambuf* const original = std::cerr.rdbuf(captured.rdbuf());
    {
        auto first = std::make_shared<ConsoleLogger>();
        ConsoleLogger second;  // another instance shares the same process-wide lock
        tarvik::common::globalLogger = first;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &second] {
                for (int i = 0; i < kMessages; ++i) {
                    if (i % 2 == 0) {
                        tarvik::common::logConcat(LogLevel::Warn, "thread ", t, " message ", i, " ",
                                                  std::string(64, static_cast<char>('a' + t)));
                    } else {
                        second.log(LogLevel::Error,
                                   "thread " + std::to_string(t) + " message " + std::to_string(i) +
                                       " " + std::string(64, static_cast<char>('a' + t)));
                    }
                    tarvik::common::logMessage(LogLevel::Debug, "dropped below the level");
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        tarvik::common::globalLogger.reset();
    }
    std::cerr.rdbuf(original);

    const std::regex line(
        R"(\[\d\d:\d\d:\d\d\.\d\d\d\] \[(WARN|ERROR)\] thread (\d) message (\d+) ([a-h]{64}))");
    std::istringstream lines(captured.str());
    std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kMessages, false));
    int count = 0;
    for (std::string text; std::getline(lines, text); ++count) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << "torn line: " << text;
        const int t = std::stoi(match[2]);
        const int i = std::stoi(match[3]);
        ASSERT_LT(t, kThreads);
        ASSERT_LT(i, kMessages);
        EXPECT_EQ(match[4].str(), std::string(64, static_cast<char>('a' + t)));
        EXPECT_EQ(match[1].str(), i % 2 == 0 ? "WARN" : "ERROR");
        EXPECT_FALSE(seen[t][i]) << "line written twice: " << text;
        seen[t][i] = true;
    }
    EXPECT_EQ(count, kThreads * kMessages);
}

}  // namespace
