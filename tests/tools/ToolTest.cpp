// tarvik-config from the outside. Hunts a read-only command that writes, moves or creates a
// file (a call of the load would move an unusable file aside), a change that touches a file it
// refused or loses the settings it did not name, a value accepted that the driver would skip (or
// the reverse), wrong exit statuses and messages, and arguments or output that lose characters
// outside ASCII on the way through the command line (the Windows build reads the wide one).
#include <string>
#include <vector>

#include "tests/tools/ToolTestFixture.h"

namespace tarvik::tool_tests {
namespace {

const std::string kBroken = "{\n    \"detection\": {\n        \"fftSize\": 4096,\n    }\n}";

// What check says about kBroken in the file `name`: the parser's error, and the comma to remove.
std::string brokenFindings(const std::string& name) {
    return name +
           ":4:5: error: syntax error while parsing object key - unexpected '}'; expected string "
           "literal\n" +
           name +
           ":3:24: note: remove this comma: JSON allows no comma after the last member of an "
           "object\n";
}

// A save's text as show prints it: the default sensitivity in its short form.
std::string shown(std::string saved) {
    const std::string widened = "0.699999988079071";
    saved.replace(saved.find(widened), widened.size(), "0.7");
    return saved;
}

class ToolReadOnlyTest : public ToolTest {};

TEST_F(ToolReadOnlyTest, BrokenFileIsReportedAtItsLineAndLeftAsItIs) {
    writeFile(file_, kBroken);
    const ProgramRun check = run({"check", name()});
    EXPECT_EQ(check.status, 2);
    EXPECT_EQ(check.output, brokenFindings(name()));
    EXPECT_EQ(check.error, "");

    const std::string unusable = "tarvik-config: " + name() +
                                 " is not a usable settings document: the driver would move it "
                                 "aside and use the defaults\n";
    const ProgramRun show = run({"show", name()});
    EXPECT_EQ(show.status, 2);
    EXPECT_EQ(show.output, "");
    EXPECT_EQ(show.error, brokenFindings(name()) + unusable);
    const ProgramRun get = run({"get", name(), "version"});
    EXPECT_EQ(get.status, 2);
    EXPECT_EQ(get.output, "");
    EXPECT_EQ(get.error, brokenFindings(name()) + unusable);

    EXPECT_EQ(readFile(file_), kBroken);
    EXPECT_EQ(namesIn(file_.parent_path()), std::vector<std::string>{"config.json"});
}

TEST_F(ToolReadOnlyTest, CheckListsEveryFindingOneALine) {
    const std::string bytes =
        "{\n  \"detection\": {\n    \"fftsize\": 4096,\n    \"fftSize\": \"4096\"\n  }\n}";
    writeFile(file_, bytes);
    const ProgramRun check = run({"check", name()});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.output,
              name() +
                  ":3:5: warning: \"detection.fftsize\": unknown key, ignored by the driver (an "
                  "update keeps it); did "
                  "you mean detection.fftSize?\n" +
                  name() +
                  ":4:5: warning: detection.fftSize: found a string \"4096\"; expected an "
                  "integer from -2147483648 to 2147483647; the driver keeps its default 2048\n");
    EXPECT_EQ(check.error, "");
    EXPECT_EQ(readFile(file_), bytes);
}

TEST_F(ToolReadOnlyTest, CleanFileChecksSilently) {
    driver::Config config;
    config.audio.bufferSizeMs = 20;
    ASSERT_TRUE(driver::saveConfigJson(file_, config));
    const std::string bytes = readFile(file_);
    const ProgramRun check = run({"check", name()});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.output, "");
    EXPECT_EQ(check.error, "");
    EXPECT_EQ(readFile(file_), bytes);
}

TEST_F(ToolReadOnlyTest, MissingFileIsNeitherCheckedNorCreated) {
    file_ = dir_ / "absent" / "config.json";
    const ProgramRun check = run({"check", name()});
    EXPECT_EQ(check.status, 2);
    EXPECT_EQ(check.output, "");
    EXPECT_EQ(check.error, "tarvik-config: " + name() + " does not exist\n");

    const std::string defaults = shown(savedBytes(driver::Config{})) + "\n";
    const ProgramRun show = run({"show", name()});
    EXPECT_EQ(show.status, 0);
    EXPECT_EQ(show.output, defaults);
    EXPECT_EQ(show.error,
              "tarvik-config: " + name() + " does not exist: the driver uses the defaults\n");
    const ProgramRun get = run({"get", name(), "detection.fftSize"});
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.output, "2048\n");
    EXPECT_FALSE(fs::exists(dir_ / "absent"));
}

TEST_F(ToolReadOnlyTest, ShowPrintsWhatASaveWouldWrite) {
    const std::string bytes =
        R"({"detection": {"fftSize": 4096, "sensitivity": "x"}, "extra": 1, "version": 3})";
    writeFile(file_, bytes);
    driver::Config expected;
    expected.detection.fftSize = 4096;
    expected.version = 3;
    const ProgramRun show = run({"show", name()});
    EXPECT_EQ(show.status, 0);
    EXPECT_EQ(show.output, shown(savedBytes(expected)) + "\n");
    EXPECT_EQ(show.error, "");
    EXPECT_EQ(readFile(file_), bytes);
}

TEST_F(ToolReadOnlyTest, GetPrintsOneValueByItsType) {
    const std::string bytes =
        "{\"audio\": {\"deviceNamePattern\": \"Mikrofon \xC3\xA9 \xE8\xA8\xAD\xE5\xAE\x9A\"},"
        " \"detection\": {\"sensitivity\": 0.5}, \"steamvr\": {\"dashboardClickEnabled\": false},"
        " \"training\": {\"lastTrainedTimestamp\": 1700000000}}";
    writeFile(file_, bytes);
    const std::pair<const char*, std::string> cases[] = {
        {"audio.deviceNamePattern", "Mikrofon \xC3\xA9 \xE8\xA8\xAD\xE5\xAE\x9A\n"},
        {"audio.deviceId", "\n"},
        {"detection.sensitivity", "0.5\n"},
        {"detection.fftSize", "2048\n"},
        {"steamvr.dashboardClickEnabled", "false\n"},
        {"training.lastTrainedTimestamp", "1700000000\n"},
        {"training.dataFile", "training_data.bin\n"},
    };
    for (const auto& [key, output] : cases) {
        const ProgramRun get = run({"get", name(), key});
        EXPECT_EQ(get.status, 0) << key;
        EXPECT_EQ(get.output, output) << key;
        EXPECT_EQ(get.error, "") << key;
    }
    EXPECT_EQ(readFile(file_), bytes);
}

class ToolChangeTest : public ToolTest {};

TEST_F(ToolChangeTest, SetChangesOneSettingAndKeepsTheRest) {
    driver::Config config;
    config.audio.deviceNamePattern = L"Headset";
    config.steamvr.customActionBinding = "/actions/click";
    ASSERT_TRUE(driver::saveConfigJson(file_, config));
    const ProgramRun set = run({"set", name(), "detection.sensitivity", "0.5"});
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.output, "");
    EXPECT_EQ(set.error, "");
    config.detection.sensitivity = 0.5f;
    EXPECT_EQ(readFile(file_), savedBytes(config));
    EXPECT_EQ(namesIn(file_.parent_path()), std::vector<std::string>{"config.json"});
}

TEST_F(ToolChangeTest, SetReadsTheValueByTheKeysType) {
    driver::Config config;
    config.audio.deviceId = L"dev-1";
    config.training.lastTrainedTimestamp = driver::TimePoint(driver::Ticks(10'000'000));
    ASSERT_TRUE(driver::saveConfigJson(file_, config));
    const std::vector<std::vector<std::string>> changes = {
        {"audio.deviceId", ""},  // an empty string clears
        {"training.lastTrainedTimestamp", "none"},
        {"steamvr.dashboardClickEnabled", "false"},
        {"version", "-5"},
        {"training.dataFile", "Daten \xC3\xBC.bin"},
        {"detection.sensitivity", "1"},
    };
    for (const auto& change : changes) {
        const ProgramRun set = run({"set", name(), change[0], change[1]});
        EXPECT_EQ(set.status, 0) << change[0] << ": " << set.error;
    }
    config.audio.deviceId.clear();
    config.training.lastTrainedTimestamp.reset();
    config.steamvr.dashboardClickEnabled = false;
    config.version = -5;
    config.training.dataFile = "Daten \xC3\xBC.bin";
    config.detection.sensitivity = 1.0f;
    EXPECT_EQ(readFile(file_), savedBytes(config));

    ASSERT_EQ(run({"set", name(), "training.lastTrainedTimestamp", "1700000000"}).status, 0);
    EXPECT_EQ(run({"get", name(), "training.lastTrainedTimestamp"}).output, "1700000000\n");
}

TEST_F(ToolChangeTest, ValueThatDoesNotFitItsKeyIsRefusedAndTheFileKept) {
    ASSERT_TRUE(driver::saveConfigJson(file_, driver::Config{}));
    const std::string bytes = readFile(file_);
    const std::string int32 = "an integer from -2147483648 to 2147483647";
    const std::vector<std::vector<std::string>> cases = {
        {"detection.fftSize", "4096.0", int32},
        {"detection.fftSize", "2147483648", int32},
        {"detection.fftSize", "abc", int32},
        {"detection.fftSize", "", int32},
        {"detection.sensitivity", "1e39", "a number from -3.4028235e+38 to 3.4028235e+38"},
        {"steamvr.dashboardClickEnabled", "yes", "true or false"},
        {"training.lastTrainedTimestamp", "1.5",
         "whole seconds since 1970 (-922337203685 to 922337203685), or none"},
    };
    for (const auto& row : cases) {
        const ProgramRun set = run({"set", name(), row[0], row[1]});
        EXPECT_EQ(set.status, 2) << row[0] << " " << row[1];
        EXPECT_EQ(set.output, "");
        EXPECT_EQ(set.error, "tarvik-config: " + row[0] + " takes " + row[2] + "; \"" + row[1] +
                                 "\" is not one\n");
    }

    const ProgramRun unknown = run({"set", name(), "detection.fftsize", "1"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.error,
              "tarvik-config: unknown key \"detection.fftsize\"; did you mean detection.fftSize? "
              "(tarvik-config keys lists every key)\n");
    const ProgramRun section = run({"set", name(), "steamvr", "1"});
    EXPECT_EQ(section.status, 2);
    EXPECT_EQ(section.error,
              "tarvik-config: steamvr is a section, not a key; its keys: "
              "steamvr.dashboardClickEnabled, steamvr.customActionBinding\n");
    EXPECT_EQ(readFile(file_), bytes);
}

TEST_F(ToolChangeTest, SetRefusesAnUnusableFileWithoutMovingIt) {
    writeFile(file_, kBroken);
    const ProgramRun set = run({"set", name(), "detection.fftSize", "1024"});
    EXPECT_EQ(set.status, 2);
    EXPECT_EQ(set.output, "");
    EXPECT_EQ(set.error, brokenFindings(name()) + "tarvik-config: " + name() +
                             " is not a usable settings document and was left as it is; fix it "
                             "(tarvik-config check shows where) or replace it with the defaults "
                             "(tarvik-config reset " +
                             name() + ")\n");
    const ProgramRun reset = run({"reset", name(), "detection.fftSize"});
    EXPECT_EQ(reset.status, 2);
    EXPECT_EQ(readFile(file_), kBroken);
    EXPECT_EQ(namesIn(file_.parent_path()), std::vector<std::string>{"config.json"});
}

TEST_F(ToolChangeTest, SetCreatesAMissingFileAndKeepsWhatTheDriverDoesNotKnow) {
    const ProgramRun create = run({"set", name(), "audio.bufferSizeMs", "20"});
    EXPECT_EQ(create.status, 0);
    driver::Config config;
    config.audio.bufferSizeMs = 20;
    EXPECT_EQ(readFile(file_), savedBytes(config));

    writeFile(file_, R"({"audio": {"bufferSizeMs": 20}, "colour": "red"})");
    const ProgramRun set = run({"set", name(), "version", "2"});
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(
        set.error,
        name() +
            ":1:33: warning: \"colour\": unknown key, ignored by the driver (an update keeps it)\n"
            "tarvik-config: warning: the driver does not use what is listed "
            "above: keys it does not know are kept, values it skips are saved "
            "as its defaults\n");
    config.version = 2;
    nlohmann::json expected = config;
    expected["colour"] = "red";
    EXPECT_EQ(readFile(file_), expected.dump(4));
}

TEST_F(ToolChangeTest, ResetRestoresOneDefaultOrAll) {
    driver::Config config;
    config.detection.fftSize = 4096;
    config.audio.deviceId = L"dev-1";
    ASSERT_TRUE(driver::saveConfigJson(file_, config));
    ASSERT_EQ(run({"reset", name(), "audio.deviceId"}).status, 0);
    config.audio.deviceId.clear();
    EXPECT_EQ(readFile(file_), savedBytes(config));

    // Resetting everything repairs an unusable file; the old text is kept as a backup.
    writeFile(file_, kBroken);
    const ProgramRun reset = run({"reset", name()});
    EXPECT_EQ(reset.status, 0);
    EXPECT_EQ(reset.output, "");
    EXPECT_NE(reset.error.find("tarvik-config: warning: Backed up corrupt config to: "),
              std::string::npos)
        << reset.error;
    EXPECT_EQ(readFile(file_), savedBytes(driver::Config{}));
    const auto names = namesIn(file_.parent_path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "config.json");
    EXPECT_EQ(readFile(file_.parent_path() / names[1]), kBroken);
}

class ToolArgumentsTest : public ToolTest {};

TEST_F(ToolArgumentsTest, WrongArgumentsGiveTheUsageAndStatusTwo) {
    const std::string usage =
        "usage: tarvik-config check FILE\n"
        "       tarvik-config show FILE\n"
        "       tarvik-config get FILE KEY\n"
        "       tarvik-config set [--force] FILE KEY VALUE\n"
        "       tarvik-config reset [--force] FILE [KEY]\n"
        "       tarvik-config keys\n"
        "       tarvik-config watch FILE\n"
        "       tarvik-config --help | --version\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command given"},
        {{"check"}, "wrong number of arguments for check"},
        {{"set", name(), "version"}, "wrong number of arguments for set"},
        {{"reset", name(), "version", "1"}, "wrong number of arguments for reset"},
        {{"frobnicate", name()}, "unknown command \"frobnicate\""},
        {{"check", "--force", name()}, "--force is for set and reset only"},
        {{"keys", "extra"}, "keys takes no arguments"},
        {{"watch", name(), "extra"}, "wrong number of arguments for watch"},
        {{"show", ""}, "FILE is empty"},
    };
    for (const auto& [arguments, what] : cases) {
        const ProgramRun wrong = run(arguments);
        EXPECT_EQ(wrong.status, 2) << what;
        EXPECT_EQ(wrong.output, "") << what;
        EXPECT_EQ(wrong.error, "tarvik-config: " + what + "\n" + usage);
    }
    EXPECT_FALSE(fs::exists(file_));

    const ProgramRun help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.substr(0, usage.size()), usage);
    const ProgramRun version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, "tarvik-config " TARVIK_CONFIG_VERSION "\n");
}

TEST_F(ToolArgumentsTest, KeysListsEveryKeyWithTypeAndDefault) {
    const ProgramRun keys = run({"keys"});
    EXPECT_EQ(keys.status, 0);
    EXPECT_EQ(keys.output,
              "version                         integer    1\n"
              "audio.deviceNamePattern         string     \"Beyond\"\n"
              "audio.deviceId                  string     null\n"
              "audio.bufferSizeMs              integer    10\n"
              "detection.sensitivity           number     0.7\n"
              "detection.minDurationMs         integer    300\n"
              "detection.cooldownMs            integer    300\n"
              "detection.fftSize               integer    2048\n"
              "steamvr.dashboardClickEnabled   boolean    true\n"
              "steamvr.customActionBinding     string     null\n"
              "training.dataFile               string     \"training_data.bin\"\n"
              "training.lastTrainedTimestamp   timestamp  null\n"
              "shownTrayNotification           boolean    false\n");
}

// Latin-1, CJK and a character outside the Basic Multilingual Plane, in the path and a value.
TEST_F(ToolArgumentsTest, NonAsciiPathAndValueSurviveTheCommandLine) {
    useDirectory(dir_ / fs::u8path("Gr\xC3\xBC\xC3\x9F"
                                   "e \xE8\xA8\xAD\xE5\xAE\x9A \xF0\x9F\x8E\xA7"));
    const std::string pattern = "Mikrofon \xC3\xA9 \xF0\x9F\x8E\xA4";
    const ProgramRun set = run({"set", name(), "audio.deviceNamePattern", pattern});
    EXPECT_EQ(set.status, 0) << set.error;
    EXPECT_EQ(set.error, "");
    driver::Config config;
    config.audio.deviceNamePattern = L"Mikrofon \u00e9 \U0001F3A4";
    EXPECT_EQ(readFile(file_), savedBytes(config));

    const ProgramRun get = run({"get", name(), "audio.deviceNamePattern"});
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.output, pattern + "\n");
    writeFile(file_, "{\"version\": \"\xC3\xBC\"}");
    const ProgramRun check = run({"check", name()});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.output, name() +
                                ":1:2: warning: version: found a string \"\xC3\xBC\"; expected an "
                                "integer from -2147483648 to 2147483647; the driver keeps its "
                                "default 1\n");
}

}  // namespace
}  // namespace tarvik::tool_tests
