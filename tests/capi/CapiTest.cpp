// The C interface as a program in another language meets it: hunts a refused call that writes
// anyway, a status without a message, an exception or a crash escaping the boundary on hostile
// input (NULL pointers, invalid UTF-8, patches nested or sized to exhaust, wrong types, a
// directory as the file), a merge patch that drops what it does not name, and a watcher that
// reports this process's own updates. Run under the sanitizers with the rest of the suite.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <tarvik/tvc.h>
#include <nlohmann/json.hpp>

#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tarvik::testsupport::namesIn;
using tarvik::testsupport::nestedArrays;
using tarvik::testsupport::readFile;
using tarvik::testsupport::utf8;
using tarvik::testsupport::writeFile;

// A text handed out by the library, freed by it.
struct Text {
    char* text = nullptr;
    ~Text() { tvc_free(text); }
    char** out() { return &text; }
    std::string str() const { return text == nullptr ? std::string("<NULL>") : text; }
};

constexpr const char* kHandWritten =
    "{\n    \"detection\": {\"fftSize\": 4096, \"futureKnob\": 3},\n    \"newerSection\": "
    "{\"x\": [1, 2]}\n}";

class CapiTest : public tarvik::testsupport::ScratchTest {
protected:
    fs::path file() const { return dir_ / "config.json"; }
    std::string path() const { return utf8(file()); }
};

TEST_F(CapiTest, VersionIsTheProjectsAndMatchesTheHeader) {
    const std::string expected = std::to_string(TVC_VERSION_MAJOR) + "." +
                                 std::to_string(TVC_VERSION_MINOR) + "." +
                                 std::to_string(TVC_VERSION_PATCH);
    EXPECT_EQ(std::string(tvc_version()), expected);
    EXPECT_EQ(expected, "0.3.0");
}

struct Refusal {
    const char* name;
    std::string patch;
    int status;
    const char* messagePart;
};

std::string hugePatch() {
    return "{\"steamvr\": {\"customActionBinding\": \"" + std::string((1 << 20) + 10, 'a') + "\"}}";
}

// Every refusal leaves the file byte for byte as it was, writes no temporary file, and says
// why, naming the key where there is one.
TEST_F(CapiTest, RefusedPatchesWriteNothingAndSayWhy) {
    const std::vector<Refusal> refusals = {
        {"not JSON", "{\"detection\": ", TVC_E_PATCH, "not JSON"},
        {"an array", "[1, 2]", TVC_E_PATCH, "must be a JSON object"},
        {"a string", "\"detection\"", TVC_E_PATCH, "found a string"},
        {"invalid UTF-8", "{\"steamvr\": {\"customActionBinding\": \"\xff\xfe\"}}", TVC_E_PATCH,
         "not JSON"},
        {"nested deeply", "{\"detection\": " + nestedArrays(100000) + "}", TVC_E_PATCH,
         "nested more than 64"},
        {"huge", hugePatch(), TVC_E_PATCH, "at most 1048576"},
        {"unknown key", "{\"detection\": {\"fftsize\": 1024}}", TVC_E_KEY,
         "did you mean detection.fftSize?"},
        {"unknown section", "{\"colour\": {\"red\": 1}}", TVC_E_KEY, "unknown key \"colour\""},
        {"dotted at the top", "{\"detection.fftSize\": 1024}", TVC_E_KEY,
         "belongs inside its section"},
        {"string for integer", "{\"detection\": {\"fftSize\": \"4096\"}}", TVC_E_VALUE,
         "detection.fftSize: takes an integer from -2147483648 to 2147483647 (or null for its "
         "default); found a string \"4096\""},
        {"fraction for integer", "{\"audio\": {\"bufferSizeMs\": 10.5}}", TVC_E_VALUE,
         "audio.bufferSizeMs: takes an integer"},
        {"integer out of range", "{\"version\": 4294967296}", TVC_E_VALUE, "version: takes"},
        {"number too large for a float", "{\"detection\": {\"sensitivity\": 1e300}}", TVC_E_VALUE,
         "detection.sensitivity: takes"},
        {"number for boolean", "{\"steamvr\": {\"dashboardClickEnabled\": 1}}", TVC_E_VALUE,
         "steamvr.dashboardClickEnabled"},
        {"object for a setting", "{\"detection\": {\"cooldownMs\": {\"a\": 1}}}", TVC_E_VALUE,
         "found an object {\"a\":1}"},
        {"a long text, cut short", "{\"version\": \"" + std::string(5000, 'x') + "\"}", TVC_E_VALUE,
         "xxx\"..."},
        {"section not an object", "{\"detection\": 5}", TVC_E_VALUE,
         "detection: a section takes an object"},
        {"one good, one bad", "{\"detection\": {\"fftSize\": 1024, \"cooldownMs\": true}}",
         TVC_E_VALUE, "detection.cooldownMs"},
    };
    writeFile(file(), kHandWritten);
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        Text settings;
        Text message;
        EXPECT_EQ(tvc_update(path().c_str(), refusal.patch.c_str(), settings.out(), message.out()),
                  refusal.status);
        EXPECT_EQ(settings.text, nullptr);
        EXPECT_NE(message.str().find(refusal.messagePart), std::string::npos) << message.str();
        EXPECT_LT(message.str().size(), 400u) << "hostile text is cut short in messages";
        EXPECT_EQ(readFile(file()), kHandWritten);
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    }
}

TEST_F(CapiTest, BadArgumentsAreRefusedWithoutTouchingAnything) {
    Text message;
    EXPECT_EQ(tvc_update(nullptr, "{}", nullptr, message.out()), TVC_E_ARGUMENT);
    EXPECT_EQ(message.str(), "path is NULL");
    EXPECT_EQ(tvc_update(path().c_str(), nullptr, nullptr, nullptr), TVC_E_ARGUMENT);
    EXPECT_EQ(tvc_update("", "{}", nullptr, nullptr), TVC_E_ARGUMENT);
    const std::string invalid = utf8(dir_) + "/\xc3\x28.json";
    Text invalidMessage;
    EXPECT_EQ(tvc_update(invalid.c_str(), "{\"version\": 2}", nullptr, invalidMessage.out()),
              TVC_E_ARGUMENT);
    EXPECT_NE(invalidMessage.str().find("not valid UTF-8"), std::string::npos);
    EXPECT_EQ(tvc_load(nullptr, nullptr, nullptr, nullptr), TVC_E_ARGUMENT);
    EXPECT_EQ(tvc_check(nullptr, 3, nullptr), TVC_E_ARGUMENT);
    EXPECT_EQ(tvc_watch_open(path().c_str(), nullptr, nullptr), TVC_E_ARGUMENT);
    EXPECT_EQ(tvc_watch_wait(nullptr, 0), -TVC_E_ARGUMENT);
    EXPECT_EQ(tvc_watch_take(nullptr, nullptr), TVC_E_ARGUMENT);
    tvc_watch_close(nullptr);
    tvc_free(nullptr);
    EXPECT_TRUE(namesIn(dir_).empty());
}

TEST_F(CapiTest, UpdateMergesAndKeepsWhatThePatchDoesNotName) {
    writeFile(file(), kHandWritten);
    Text settings;
    ASSERT_EQ(tvc_update(path().c_str(),
                         "{\"detection\": {\"sensitivity\": 0.5, \"cooldownMs\": 120}, "
                         "\"audio\": {\"deviceId\": \"mic-7\"}}",
                         settings.out(), nullptr),
              TVC_OK);
    const json written = json::parse(readFile(file()));
    EXPECT_EQ(written["detection"]["fftSize"], 4096) << "a value the patch does not name";
    EXPECT_EQ(written["detection"]["futureKnob"], 3) << "an unknown key in a section";
    EXPECT_EQ(written["newerSection"], json::parse("{\"x\": [1, 2]}")) << "an unknown section";
    EXPECT_EQ(written["detection"]["cooldownMs"], 120);
    EXPECT_EQ(written["audio"]["deviceId"], "mic-7");
    // The settings handed out: every key, the float in its shortest form.
    const std::string text = settings.str();
    EXPECT_NE(text.find("\"sensitivity\":0.5"), std::string::npos) << text;
    const json handedOut = json::parse(text);
    EXPECT_EQ(handedOut["detection"]["fftSize"], 4096);
    EXPECT_EQ(handedOut["training"]["dataFile"], "training_data.bin");
    EXPECT_EQ(handedOut.count("newerSection"), 0u) << "only the driver's keys";
}

TEST_F(CapiTest, NullPutsKeysAndSectionsBackToTheirDefaults) {
    writeFile(file(),
              "{\"audio\": {\"deviceId\": \"mic\", \"bufferSizeMs\": 40, \"deviceNamePattern\": "
              "\"Rift\"}, \"detection\": {\"fftSize\": 512, \"extra\": 1}, "
              "\"training\": {\"lastTrainedTimestamp\": 1700000000}}");
    Text settings;
    ASSERT_EQ(tvc_update(path().c_str(),
                         "{\"audio\": null, \"detection\": {\"fftSize\": null}, "
                         "\"training\": {\"lastTrainedTimestamp\": null}}",
                         settings.out(), nullptr),
              TVC_OK);
    const json written = json::parse(readFile(file()));
    EXPECT_EQ(written["audio"]["deviceId"], nullptr);
    EXPECT_EQ(written["audio"]["bufferSizeMs"], 10);
    EXPECT_EQ(written["audio"]["deviceNamePattern"], "Beyond");
    EXPECT_EQ(written["detection"]["fftSize"], 2048);
    EXPECT_EQ(written["detection"]["extra"], 1) << "null names a key, never what it does not";
    EXPECT_EQ(written["training"]["lastTrainedTimestamp"], nullptr);
}

// A person halfway through an edit, or a directory where the file should be: the update
// refuses, and moves nothing aside.
TEST_F(CapiTest, UpdateLeavesAFileItCannotUseAsItIs) {
    const std::string typo = "{\"detection\": {\"fftSize\": 4096,}}";
    writeFile(file(), typo);
    Text message;
    EXPECT_EQ(tvc_update(path().c_str(), "{\"version\": 2}", nullptr, message.out()),
              TVC_E_UNREADABLE);
    EXPECT_NE(message.str().find("not a usable document"), std::string::npos) << message.str();
    EXPECT_EQ(readFile(file()), typo);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});

    const fs::path directory = dir_ / "sub" / "config.json";
    fs::create_directories(directory);
    Text dirMessage;
    Text settings;
    EXPECT_EQ(
        tvc_update(utf8(directory).c_str(), "{\"version\": 2}", settings.out(), dirMessage.out()),
        TVC_E_UNREADABLE);
    EXPECT_EQ(settings.text, nullptr);
    EXPECT_FALSE(dirMessage.str().empty());
    EXPECT_TRUE(fs::is_directory(directory));
    EXPECT_TRUE(fs::is_empty(directory));
    EXPECT_EQ(namesIn(directory.parent_path()), std::vector<std::string>{"config.json"});
}

TEST_F(CapiTest, LoadGivesEverySettingAndSaysWhatItFound) {
    Text settings;
    Text outcome;
    ASSERT_EQ(tvc_load(path().c_str(), settings.out(), outcome.out(), nullptr), TVC_OK);
    EXPECT_EQ(outcome.str(), "missing");
    EXPECT_EQ(json::parse(settings.str())["detection"]["sensitivity"], 0.7);
    const fs::path nowhere = dir_ / "not" / "yet" / "config.json";
    Text nowhereOutcome;
    ASSERT_EQ(tvc_load(utf8(nowhere).c_str(), nullptr, nowhereOutcome.out(), nullptr), TVC_OK);
    EXPECT_EQ(nowhereOutcome.str(), "missing");
    EXPECT_TRUE(namesIn(dir_).empty()) << "a load creates no directory";

    writeFile(file(), kHandWritten);
    Text read;
    Text readOutcome;
    ASSERT_EQ(tvc_load(path().c_str(), read.out(), readOutcome.out(), nullptr), TVC_OK);
    EXPECT_EQ(readOutcome.str(), "read");
    EXPECT_EQ(json::parse(read.str())["detection"]["fftSize"], 4096);
    EXPECT_EQ(tvc_load(path().c_str(), nullptr, nullptr, nullptr), TVC_OK);

    Text dirSettings;
    Text dirOutcome;
    Text message;
    EXPECT_EQ(tvc_load(utf8(dir_).c_str(), dirSettings.out(), dirOutcome.out(), message.out()),
              TVC_E_UNREADABLE);
    EXPECT_EQ(dirOutcome.str(), "unreadable");
    EXPECT_NE(message.str().find("the settings are the defaults"), std::string::npos);
    EXPECT_EQ(json::parse(dirSettings.str())["detection"]["fftSize"], 2048);

    // A person halfway through an edit: reported, and the file stays where it is.
    const std::string typing = "{\"detection\": {\"fftSize\": 40";
    writeFile(file(), typing);
    Text typingSettings;
    Text typingOutcome;
    EXPECT_EQ(tvc_load(path().c_str(), typingSettings.out(), typingOutcome.out(), nullptr),
              TVC_E_UNREADABLE);
    EXPECT_EQ(typingOutcome.str(), "unusable");
    EXPECT_EQ(json::parse(typingSettings.str())["detection"]["fftSize"], 2048);
    EXPECT_EQ(readFile(file()), typing);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
}

TEST_F(CapiTest, EmptyPatchWritesNothing) {
    writeFile(file(), kHandWritten);
    Text settings;
    ASSERT_EQ(tvc_update(path().c_str(), "{\"detection\": {}}", settings.out(), nullptr), TVC_OK);
    EXPECT_EQ(readFile(file()), kHandWritten);
    EXPECT_EQ(json::parse(settings.str())["detection"]["fftSize"], 4096);

    fs::remove(file());
    Text defaults;
    ASSERT_EQ(tvc_update(path().c_str(), "{}", defaults.out(), nullptr), TVC_OK);
    EXPECT_EQ(json::parse(defaults.str())["detection"]["fftSize"], 2048);
    EXPECT_TRUE(namesIn(dir_).empty()) << "no file is made";

    writeFile(file(), "{\"detection\": ");
    EXPECT_EQ(tvc_update(path().c_str(), "{}", nullptr, nullptr), TVC_E_UNREADABLE);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"}) << "nothing moved aside";
}

TEST_F(CapiTest, CheckGivesTheCheckersFindingsAsJson) {
    const std::string text = "{\n  \"detection\": {\"fftSize\": 4096},\n  \"version\": 1,\n}";
    Text findings;
    ASSERT_EQ(tvc_check(text.data(), text.size(), findings.out()), TVC_OK);
    const json parsed = json::parse(findings.str());
    ASSERT_EQ(parsed.size(), 1u) << "a syntax error makes the document unusable";
    EXPECT_EQ(parsed[0]["severity"], "error");
    EXPECT_EQ(parsed[0]["kind"], "syntax");
    EXPECT_EQ(parsed[0]["line"], 4);
    EXPECT_NE(parsed[0]["hint"].get<std::string>().find("comma"), std::string::npos);

    // A key holding a terminal's escape sequence, and bytes that are not UTF-8: the findings
    // are still valid JSON, and their messages show neither raw.
    const std::string usable =
        "{\"detection\": {\"fftSize\": \"4096\"}, \"\\u001b]0;owned\\u0007\": 1}";
    Text warnings;
    ASSERT_EQ(tvc_check(usable.data(), usable.size(), warnings.out()), TVC_OK);
    const json list = json::parse(warnings.str());
    ASSERT_EQ(list.size(), 2u) << warnings.str();
    for (const json& finding : list) {
        EXPECT_EQ(finding["severity"], "warning");
        EXPECT_EQ(finding["message"].get<std::string>().find('\x1b'), std::string::npos);
        EXPECT_EQ(finding["key"].get<std::string>().find('\x1b'), std::string::npos);
    }
    EXPECT_EQ(list[0]["key"], "detection.fftSize");
    EXPECT_EQ(list[1]["kind"], "unknown-key");
    const std::string invalid = "{\"\xff\xfe\": 1}";
    Text invalidFindings;
    ASSERT_EQ(tvc_check(invalid.data(), invalid.size(), invalidFindings.out()), TVC_OK);
    EXPECT_EQ(json::parse(invalidFindings.str())[0]["kind"], "syntax");

    Text none;
    ASSERT_EQ(tvc_check(nullptr, 0, none.out()), TVC_OK);
    EXPECT_EQ(json::parse(none.str()).size(), 1u) << "an empty text is not a document";
    EXPECT_EQ(tvc_check("{}", 2, nullptr), TVC_OK);
}

// The watcher of the C interface reports another program's change, not this process's own
// update through the same interface.
TEST_F(CapiTest, WatcherReportsOtherProgramsChangesNotOwnUpdates) {
    writeFile(file(), "{\"detection\": {\"fftSize\": 1024}}");
    tvc_watcher* watcher = nullptr;
    Text message;
    ASSERT_EQ(tvc_watch_open(path().c_str(), &watcher, message.out()), TVC_OK) << message.str();
    ASSERT_EQ(tvc_watch_wait(watcher, 5000), 1);
    Text initial;
    ASSERT_EQ(tvc_watch_take(watcher, initial.out()), TVC_OK);
    const json first = json::parse(initial.str());
    EXPECT_EQ(first["outcome"], "read");
    EXPECT_EQ(first["initial"], true);
    EXPECT_EQ(first["settings"]["detection"]["fftSize"], 1024);
    EXPECT_EQ(tvc_watch_take(watcher, nullptr), TVC_E_NO_NEWS);
    EXPECT_EQ(tvc_watch_wait(watcher, -1), -TVC_E_ARGUMENT);

    ASSERT_EQ(tvc_update(path().c_str(), "{\"detection\": {\"cooldownMs\": 77}}", nullptr, nullptr),
              TVC_OK);
    EXPECT_EQ(tvc_watch_wait(watcher, 500), 0) << "the own update is not news";
    // Another program's change after the own update: the news names only its key.
    std::string text = readFile(file());
    const std::size_t at = text.find("\"version\": 1");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 12, "\"version\": 5");
    const fs::path other = dir_ / "other.tmp";
    writeFile(other, text);
    fs::rename(other, file());
    ASSERT_EQ(tvc_watch_wait(watcher, 5000), 1);
    Text news;
    ASSERT_EQ(tvc_watch_take(watcher, news.out()), TVC_OK);
    const json change = json::parse(news.str());
    EXPECT_EQ(change["changed"], json::parse("[\"version\"]")) << news.str();
    EXPECT_EQ(change["settings"]["version"], 5);
    EXPECT_EQ(change["settings"]["detection"]["cooldownMs"], 77);
    EXPECT_EQ(change["initial"], false);
    tvc_watch_close(watcher);
}

}  // namespace
