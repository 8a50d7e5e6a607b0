// tarvik-config watch from the outside, on Linux and under Wine: the program runs beside the test
// with its output in a pipe, and each line must arrive while it still runs. Hunts output that is
// buffered until exit (nothing reaches a log), changes printed with the wrong old or new value or
// not at all, an unusable or missing file that is not announced, control bytes from the file that
// reach the terminal raw, and an interrupt (Ctrl-C, SIGTERM; on Windows, where no console is
// there to send Ctrl-C to, the end of its input) that kills it instead of ending it with status 0.
#include <chrono>
#include <string>
#include <vector>

#include <tarvik/config/ConfigCheck.h>
#include "tests/tools/ToolTestFixture.h"

namespace tarvik::tool_tests {
namespace {

using namespace std::chrono_literals;
using platform::testing::Interrupt;
using platform::testing::RunningProgram;

constexpr auto kLineTimeout = 10s;

class ToolWatchTest : public ToolTest {
protected:
    void startWatch() {
        ASSERT_TRUE(watch_.start(platform::testing::executableDirectory() / TARVIK_CONFIG_PROGRAM,
                                 {"watch", name()}, capture_));
        EXPECT_EQ(nextLine(), "watching " + name());
    }

    std::string nextLine() {
        std::string line;
        EXPECT_TRUE(watch_.readLine(line, kLineTimeout))
            << "no line within the time; standard error: " << watch_.error();
        return line;
    }

    std::vector<std::string> nextLines(std::size_t count) {
        std::vector<std::string> lines;
        while (lines.size() < count && !::testing::Test::HasFailure()) {
            lines.push_back(nextLine());
        }
        return lines;
    }

    // Ends the program as a user would, and checks that it ended well and said nothing more.
    void interruptWatch() {
        const Interrupt how =
            platform::testing::isPosix() ? Interrupt::CtrlC : Interrupt::CloseInput;
        ASSERT_TRUE(watch_.interrupt(how));
        EXPECT_EQ(watch_.wait(kLineTimeout), 0);
        std::string more;
        EXPECT_FALSE(watch_.readLine(more, 1s)) << more;
        EXPECT_EQ(watch_.error(), "");
    }

    RunningProgram watch_;
};

TEST_F(ToolWatchTest, PrintsTheStateThenEachChangeAsItHappens) {
    writeFile(file_,
              R"({"detection": {"sensitivity": 0.7}, "steamvr": {"customActionBinding": "x"}})");
    startWatch();
    EXPECT_EQ(nextLines(13), (std::vector<std::string>{
                                 "version: 1",
                                 "audio.deviceNamePattern: \"Beyond\"",
                                 "audio.deviceId: null",
                                 "audio.bufferSizeMs: 10",
                                 "detection.sensitivity: 0.7",
                                 "detection.minDurationMs: 300",
                                 "detection.cooldownMs: 300",
                                 "detection.fftSize: 2048",
                                 "steamvr.dashboardClickEnabled: true",
                                 "steamvr.customActionBinding: \"x\"",
                                 "training.dataFile: \"training_data.bin\"",
                                 "training.lastTrainedTimestamp: null",
                                 "shownTrayNotification: false",
                             }));

    const ProgramRun set = run({"set", name(), "detection.sensitivity", "0.5"});
    ASSERT_EQ(set.status, 0) << set.error;
    EXPECT_EQ(nextLine(), "detection.sensitivity: 0.7 -> 0.5");

    // An unusable file as check shows it: the place, the parser's words, the hint at its place;
    // and again when its first problem changes while it stays unusable.
    const std::string broken = "{\n    \"detection\": {\"fftSize\": 4096,}\n}";
    writeFile(file_, broken);
    EXPECT_EQ(nextLines(2),
              (std::vector<std::string>{
                  "unusable: " + name() +
                      ":2:35: error: syntax error while parsing object key - "
                      "unexpected '}'; expected string literal",
                  name() + ":2:34: note: remove this comma: JSON allows no comma after the last "
                           "member of an object",
              }));
    writeFile(file_, "{\n    \"detection\": {\"fftSize\": 4096}\n");
    EXPECT_EQ(nextLine(), "unusable: " + name() +
                              ":3:1: error: syntax error while parsing object - unexpected end of "
                              "input; expected '}'");

    driver::Config fixed;
    fixed.detection.sensitivity = 0.5f;
    fixed.detection.fftSize = 4096;
    fixed.steamvr.customActionBinding = "x";
    ASSERT_TRUE(driver::saveConfigJson(file_, fixed));  // this test is another program
    EXPECT_EQ(nextLines(2), (std::vector<std::string>{"read", "detection.fftSize: 2048 -> 4096"}));

    fs::remove(file_);
    EXPECT_EQ(nextLines(4), (std::vector<std::string>{
                                "missing",
                                "detection.sensitivity: 0.5 -> 0.7",
                                "detection.fftSize: 4096 -> 2048",
                                "steamvr.customActionBinding: \"x\" -> null",
                            }));
    interruptWatch();
    EXPECT_FALSE(fs::exists(file_));
}

TEST_F(ToolWatchTest, ControlCharactersFromTheFileNeverReachTheTerminal) {
    // Raw DEL and the C1 control CSI (U+009B) are valid inside a JSON string; ESC must be escaped
    // in JSON, and stays escaped on the way out.
    writeFile(file_,
              "{\"audio\": {\"deviceNamePattern\": \"\\u001b[31mred\"},"
              " \"steamvr\": {\"customActionBinding\": \"a\x7f"
              "b\xc2\x9b"
              "c\"}}");
    startWatch();
    const std::vector<std::string> state = nextLines(13);
    ASSERT_EQ(state.size(), 13U);
    EXPECT_EQ(state[1], "audio.deviceNamePattern: \"\\u001b[31mred\"");
    EXPECT_EQ(state[9], "steamvr.customActionBinding: \"a\\u007Fb\\u009Bc\"");

    writeFile(file_, "{\"steamvr\": {\"customActionBinding\": \"\xc2\x85z\x7f\"}}");
    const std::vector<std::string> changes = nextLines(2);
    EXPECT_EQ(changes, (std::vector<std::string>{
                           "audio.deviceNamePattern: \"\\u001b[31mred\" -> \"Beyond\"",
                           "steamvr.customActionBinding: \"a\\u007Fb\\u009Bc\" -> "
                           "\"\\u0085z\\u007F\"",
                       }));
    interruptWatch();
}

// Every way a user or a parent program can end it, where the platform has it.
class ToolWatchInterruptTest : public ToolWatchTest,
                               public ::testing::WithParamInterface<Interrupt> {};

TEST_P(ToolWatchInterruptTest, InterruptEndsItWithStatusZero) {
    driver::Config config;
    ASSERT_TRUE(driver::saveConfigJson(file_, config));
    startWatch();
    nextLines(13);
    if (!watch_.interrupt(GetParam())) {
        GTEST_SKIP() << "not on this platform";
    }
    EXPECT_EQ(watch_.wait(kLineTimeout), 0);
    EXPECT_EQ(watch_.error(), "");
}

INSTANTIATE_TEST_SUITE_P(Interrupts, ToolWatchInterruptTest,
                         ::testing::Values(Interrupt::CtrlC, Interrupt::Terminate,
                                           Interrupt::CloseInput),
                         [](const ::testing::TestParamInfo<Interrupt>& info) {
                             switch (info.param) {
                                 case Interrupt::CtrlC:
                                     return "CtrlC";
                                 case Interrupt::Terminate:
                                     return "Terminate";
                                 case Interrupt::CloseInput:
                                     break;
                             }
                             return "CloseInput";
                         });

}  // namespace
}  // namespace tarvik::tool_tests
