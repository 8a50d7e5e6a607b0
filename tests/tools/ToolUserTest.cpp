// tarvik-config as the person at the keyboard meets it. Hunts a message they cannot act on (a
// syntax error without its hint, a key written twice and silently dropped, a float in more
// digits than it was written with), a byte of the file or the command line that reaches the
// terminal unescaped (escape sequences that retitle or clear it), an exit status with two
// meanings (a command's own failure taken for findings, an unreadable file that one command
// refuses and another "fails to save"), a suggested command that the shell would split, and a
// file marked read-only that is replaced without a word, or refused in Windows' words.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/File.h"

#include "tests/tools/ToolTestFixture.h"

namespace tarvik::tool_tests {
namespace {

using testsupport::terminalSafe;

class ToolHintTest : public ToolTest {};

TEST_F(ToolHintTest, FileSavedAsUtf16IsNamedSoAndNoRawByteIsPrinted) {
    writeFile(file_, std::string("\xFF\xFE{\0}\0", 6));
    const ProgramRun check = run({"check", name()});
    EXPECT_EQ(check.status, 2);
    EXPECT_EQ(check.output,
              name() +
                  ":1:1: error: syntax error while parsing value - invalid literal; last read: "
                  "'\\xFF'\n" +
                  name() +
                  ":1:1: note: the file is saved as UTF-16 (little-endian), which JSON readers "
                  "do not take: save it as UTF-8 (Notepad: Save As, Encoding: UTF-8)\n");
    EXPECT_TRUE(terminalSafe(check.output));
}

TEST_F(ToolHintTest, SuggestedCommandQuotesThePathForTheShell) {
    useDirectory(dir_ / fs::u8path("J\xC3\xBCrgen \xC3\x85sa's/\xE8\xA8\xAD\xE5\xAE\x9A"));
    writeFile(file_, "{");
    const ProgramRun set = run({"set", name(), "version", "2"});
    EXPECT_EQ(set.status, 2);
    // POSIX shells: single quotes, a quote as '\''; cmd.exe and PowerShell: double quotes.
    std::string quoted;
    if (platform::testing::isPosix()) {
        quoted = "'";
        for (const char c : name()) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        quoted += "'";
    } else {
        quoted = "\"" + name() + "\"";
    }
    EXPECT_NE(set.error.find("(tarvik-config reset " + quoted + ")\n"), std::string::npos)
        << set.error;
}

// Values the driver takes as they are: check lists them (a number no setting means as a note, a
// path with escaped controls as a warning with its hint), and set keeps them without saying
// that anything is lost.
TEST_F(ToolHintTest, ValuesTheDriverTakesAreListedAndKeptBySet) {
    writeFile(file_,
              "{\"detection\": {\"fftSize\": 0},\n \"training\": {\"dataFile\": "
              "\"C:\\temp\\new.bin\"}}");
    const std::string findings =
        name() +
        ":1:16: note: detection.fftSize: the driver takes 0 as it is, but a transform needs at "
        "least 1 sample\n" +
        name() +
        ":2:15: warning: training.dataFile: the driver takes \"C:\\temp\\new.bin\" as it is, with "
        "control characters that escapes wrote (\\t, \\n)\n" +
        name() +
        ":2:15: note: in JSON a backslash starts an escape (\\t is a TAB, \\n a line end): write "
        "each \\ of a Windows path as \\\\ or as / (\"C:\\\\temp\\\\...\" or \"C:/temp/...\")\n";
    const ProgramRun check = run({"check", name()});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.output, findings);

    const ProgramRun set = run({"set", name(), "version", "2"});
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.error, findings);
    const ProgramRun get = run({"get", name(), "detection.fftSize"});
    EXPECT_EQ(get.output, "0\n");
}

class ToolTerminalTest : public ToolTest {};

// Escape sequences that retitle the terminal and clear it, a bell, DEL, a C1 CSI and a
// right-to-left override, in key names, in values, and on the command line.
TEST_F(ToolTerminalTest, NothingFromTheFileOrTheCommandLineActsOnTheTerminal) {
    const std::string bytes =
        R"({"\u001b]0;owned\u0007\u001b[2J": 1, "training": {"dataFile": "\u001b[2J\u009b\u202e",)"
        R"( "x\u007f": 2}, "version": "\u001b[31m"})";
    writeFile(file_, bytes);
    const std::string hostile = "\x1B]0;owned\x07\x1B[2J";
    const std::vector<std::vector<std::string>> commands = {
        {"check", name()},
        {"show", name()},
        {"get", name(), "training.dataFile"},
        {"get", name(), hostile},
        {"set", name(), "version", hostile},
        {"set", name(), "audio.deviceId", "x"},  // prints the findings it will drop
        {hostile, name()},
        {"check", name() + hostile},
    };
    for (const auto& arguments : commands) {
        const ProgramRun command = run(arguments);
        EXPECT_TRUE(terminalSafe(command.output)) << arguments[0] << ": " << command.output;
        EXPECT_TRUE(terminalSafe(command.error)) << arguments[0] << ": " << command.error;
        EXPECT_NE(command.output + command.error, "") << arguments[0];
    }
    EXPECT_EQ(run({"get", name(), "training.dataFile"}).output, "\\u001B[2J\\u009B\\u202E\n");
    // show still prints a document that reads back as the same settings.
    const ProgramRun show = run({"show", name()});
    driver::Config shown;
    driver::from_json(nlohmann::json::parse(show.output), shown);
    EXPECT_EQ(shown.training.dataFile, "\x1B[2J\xC2\x9B\xE2\x80\xAE");
}

class ToolStatusTest : public ToolTest {};

// A file that cannot be read (here a directory) is refused alike by every command.
TEST_F(ToolStatusTest, UnreadableFileIsRefusedByEveryCommandWithStatusTwo) {
    fs::create_directories(file_);
    const std::vector<std::vector<std::string>> commands = {
        {"check", name()},
        {"show", name()},
        {"get", name(), "version"},
        {"set", name(), "version", "2"},
        {"reset", name(), "version"},
        {"reset", name()},
    };
    for (const auto& arguments : commands) {
        const ProgramRun command = run(arguments);
        EXPECT_EQ(command.status, 2) << arguments[0] << ": " << command.error;
        EXPECT_EQ(command.error.rfind("tarvik-config: cannot read " + name() + ": ", 0), 0u)
            << command.error;
    }
    EXPECT_TRUE(fs::is_directory(file_));
}

TEST_F(ToolStatusTest, OutOfMemoryIsAFailureOfItsOwnNotAFinding) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under a small address-space limit";
#endif
    if (!platform::testing::isPosix()) {
        GTEST_SKIP() << "the address-space limit is set through a POSIX shell";
    }
    // An 80 MB string: the file fits under the limit, the parser's copy of the string does not.
    // (Not an array: the JSON library frees a large partial array with an allocation of its own,
    // in a destructor, where running out of memory ends the process.)
    std::string bytes = "{\"a\": \"";
    bytes.append(80u << 20U, 'x');
    bytes += "\"}";
    writeFile(file_, bytes);
    const fs::path program = platform::testing::executableDirectory() / TARVIK_CONFIG_PROGRAM;
    const ProgramRun check = platform::testing::runProgram(
        "/bin/sh", {"-c", "ulimit -v 150000 && exec \"$0\" check \"$1\"", program.string(), name()},
        capture_);
    EXPECT_EQ(check.status, 3) << check.error;
    EXPECT_EQ(check.output, "");
    EXPECT_EQ(check.error, "tarvik-config: out of memory\n");
}

// set judges the file as its update reads it under the saves' lock, not as it was a moment
// before: a file that another program breaks while set waits for the lock is left as it is,
// not moved aside and replaced.
TEST_F(ToolStatusTest, FileBrokenWhileSetWaitsForTheLockIsLeftAsItIs) {
    if (!platform::testing::isPosix()) {
        GTEST_SKIP() << "a wait for the save lock (a named mutex) cannot be seen from outside";
    }
    writeFile(file_, R"({"version": 1})");
    platform::SaveLock held;
    ASSERT_EQ(held.acquire(file_, std::chrono::milliseconds(0)), 0u);
    platform::testing::RunningProgram set;
    ASSERT_TRUE(set.start(platform::testing::executableDirectory() / TARVIK_CONFIG_PROGRAM,
                          {"set", name(), "version", "2"}, capture_));
    // Its update waits for the lock, so it has looked at the file already.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!platform::testing::someoneWaitsToLock(file_.parent_path()) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(platform::testing::someoneWaitsToLock(file_.parent_path()));
    writeFile(file_, R"({"version": 1,})");
    held.release();
    EXPECT_EQ(set.wait(std::chrono::seconds(10)), 2) << set.error();
    EXPECT_EQ(readFile(file_), R"({"version": 1,})");
    EXPECT_EQ(namesIn(file_.parent_path()), std::vector<std::string>{"config.json"});
    EXPECT_NE(set.error().find("was left as it is"), std::string::npos) << set.error();
}

class ToolNumberTest : public ToolTest {};

TEST_F(ToolNumberTest, FloatIsShownAsWrittenAndStoredAsTheSaveWritesIt) {
    ASSERT_EQ(run({"set", name(), "detection.sensitivity", "0.3"}).status, 0);
    EXPECT_NE(readFile(file_).find("\"sensitivity\": 0.30000001192092896\n"), std::string::npos);
    EXPECT_EQ(run({"get", name(), "detection.sensitivity"}).output, "0.3\n");
    EXPECT_NE(run({"show", name()}).output.find("\"sensitivity\": 0.3\n"), std::string::npos);
}

// The read-only mark: owner write permission (POSIX), FILE_ATTRIBUTE_READONLY (Windows).
class ToolReadOnlyFileTest : public ToolTest {
protected:
    void TearDown() override {
        // Windows will not delete a read-only file: give everything back its write permission.
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored)) {
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ignored);
        }
        ToolTest::TearDown();
    }

    void markReadOnly() {
        fs::permissions(file_,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        ASSERT_TRUE(readOnly());
    }

    bool readOnly() const {
        return (fs::status(file_).permissions() & fs::perms::owner_write) == fs::perms::none;
    }
};

TEST_F(ToolReadOnlyFileTest, ReadOnlyFileIsRefusedInOneLineAndLeftAsItIs) {
    ASSERT_TRUE(driver::saveConfigJson(file_, driver::Config{}));
    const std::string bytes = readFile(file_);
    markReadOnly();
    const std::string refused = "tarvik-config: " + name() +
                                " is read-only, so it was left as it is; add --force to change "
                                "it anyway (it stays read-only)\n";
    const std::vector<std::vector<std::string>> commands = {
        {"set", name(), "detection.fftSize", "4096"},
        {"reset", name(), "version"},
        {"reset", name()},
    };
    for (const auto& arguments : commands) {
        const ProgramRun command = run(arguments);
        EXPECT_EQ(command.status, 2) << arguments[0];
        EXPECT_EQ(command.error, refused);
    }
    EXPECT_EQ(readFile(file_), bytes);
    EXPECT_TRUE(readOnly());
}

TEST_F(ToolReadOnlyFileTest, ForceChangesItQuietlyAndKeepsItReadOnly) {
    ASSERT_TRUE(driver::saveConfigJson(file_, driver::Config{}));
    markReadOnly();
    const ProgramRun set = run({"set", "--force", name(), "detection.fftSize", "4096"});
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.error, "");  // no retries of a refused swap, no Windows error numbers
    driver::Config config;
    config.detection.fftSize = 4096;
    EXPECT_EQ(readFile(file_), savedBytes(config));
    EXPECT_TRUE(readOnly());

    // Replacing an unusable file: the new one is read-only as well.
    fs::permissions(file_, fs::perms::owner_write, fs::perm_options::add);
    writeFile(file_, "{");
    markReadOnly();
    const ProgramRun reset = run({"reset", "--force", name()});
    EXPECT_EQ(reset.status, 0) << reset.error;
    EXPECT_EQ(readFile(file_), savedBytes(driver::Config{}));
    EXPECT_TRUE(readOnly());
    EXPECT_EQ(namesIn(file_.parent_path()).size(), 2u);  // and the backup
}

}  // namespace
}  // namespace tarvik::tool_tests
