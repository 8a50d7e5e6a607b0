// Hostile files at the configuration path: nesting deep enough that any recursive copy or dump
// of the parsed value overflows the stack, numbers beyond every field's range, invalid UTF-8
// in each string field, a 100 MB file, and a directory or FIFO where the file should be. The
// load must return true without crashing, keep the caller's values for everything unusable,
// quarantine only files it read and could not use, and leave other objects alone.
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>
#include "platform/testing/OsTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tvd = tarvik::driver;
using tarvik::common::LogLevel;
using tarvik::testsupport::nestedArrays;
using tarvik::testsupport::nestedObjects;
using tarvik::testsupport::readFile;

namespace {

constexpr std::size_t kDeepLevels = 100'000;

class HostileInputTest : public tarvik::testsupport::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        path_ = dir_ / "config.json";
    }

    void write(const std::string& bytes) { tarvik::testsupport::writeFile(path_, bytes); }

    std::vector<std::filesystem::path> backups() const {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            if (entry.path().filename().string().rfind("config.json.corrupted.", 0) == 0) {
                found.push_back(entry.path());
            }
        }
        return found;
    }

    // Loads into a record that differs from the defaults, so that "unchanged" is visible.
    tvd::Config loadOverMarked() {
        tvd::Config config = marked();
        EXPECT_TRUE(tvd::loadConfigJson(path_, config));
        return config;
    }

    static tvd::Config marked() {
        tvd::Config config;
        config.version = 7;
        config.audio.deviceNamePattern = L"kept";
        config.audio.deviceId = L"kept-id";
        config.audio.bufferSizeMs = 11;
        config.detection.sensitivity = 0.25f;
        config.detection.minDurationMs = 12;
        config.detection.cooldownMs = 13;
        config.detection.fftSize = 14;
        config.steamvr.customActionBinding = "kept-binding";
        config.training.dataFile = "kept.bin";
        return config;
    }

    static void expectMarked(const tvd::Config& config) {
        const tvd::Config expected = marked();
        EXPECT_EQ(config.version, expected.version);
        EXPECT_EQ(config.audio.deviceNamePattern, expected.audio.deviceNamePattern);
        EXPECT_EQ(config.audio.deviceId, expected.audio.deviceId);
        EXPECT_EQ(config.audio.bufferSizeMs, expected.audio.bufferSizeMs);
        EXPECT_EQ(config.detection.sensitivity, expected.detection.sensitivity);
        EXPECT_EQ(config.detection.minDurationMs, expected.detection.minDurationMs);
        EXPECT_EQ(config.detection.cooldownMs, expected.detection.cooldownMs);
        EXPECT_EQ(config.detection.fftSize, expected.detection.fftSize);
        EXPECT_EQ(config.steamvr.customActionBinding, expected.steamvr.customActionBinding);
        EXPECT_EQ(config.training.dataFile, expected.training.dataFile);
        EXPECT_FALSE(config.training.lastTrainedTimestamp.has_value());
    }

    std::filesystem::path path_;
};

TEST_F(HostileInputTest, DeepNestingUnderAnUnknownKeyLoadsTheRest) {
    write("{\"unknown\":" + nestedArrays(kDeepLevels) +
          ",\"deeper\":" + nestedObjects(kDeepLevels) + ",\"version\":3}");
    const tvd::Config config = loadOverMarked();
    EXPECT_EQ(config.version, 3);
    EXPECT_EQ(config.training.dataFile, "kept.bin");
    EXPECT_TRUE(recorder().saw("Driver loaded config from: "));
    EXPECT_TRUE(backups().empty());
}

TEST_F(HostileInputTest, DeepNestingInPlaceOfSectionsIsSkipped) {
    write("{\"audio\":" + nestedArrays(kDeepLevels) +
          ",\"detection\":" + nestedObjects(kDeepLevels) +
          ",\"steamvr\":{\"customActionBinding\":" + nestedArrays(kDeepLevels) +
          "},\"training\":{\"dataFile\":\"deep.bin\"}}");
    const tvd::Config config = loadOverMarked();
    EXPECT_EQ(config.audio.deviceNamePattern, L"kept");
    EXPECT_EQ(config.detection.fftSize, 14);
    EXPECT_EQ(config.steamvr.customActionBinding, "kept-binding");
    EXPECT_EQ(config.training.dataFile, "deep.bin");
    EXPECT_TRUE(backups().empty());
}

// An update writes back what it does not know, but a member nested deep enough to exhaust the
// stack while it is written is dropped (with a WARN); one of ordinary depth is kept, and the
// deep values in place of the record's own keys are replaced, never written.
TEST_F(HostileInputTest, UpdateOfDeeplyNestedMembersDropsOnlyWhatCannotBeWritten) {
    write("{\"unknown\":" + nestedArrays(kDeepLevels) + ",\"kept\":" + nestedObjects(100) +
          ",\"audio\":{\"deeper\":" + nestedObjects(kDeepLevels) +
          "},\"detection\":" + nestedArrays(kDeepLevels) +
          ",\"steamvr\":{\"customActionBinding\":" + nestedArrays(kDeepLevels) +
          "},\"version\":3}");
    tvd::Config config;
    ASSERT_TRUE(tvd::updateConfigJson(path_, config, [](tvd::Config& c) { c.version = 4; }));
    tvd::Config expected;
    expected.version = 4;
    nlohmann::json document = expected;
    document["kept"] = nlohmann::json::parse(nestedObjects(100));
    EXPECT_EQ(readFile(path_), document.dump(4));
    EXPECT_TRUE(recorder().saw("Config update dropped unknown from "));
    EXPECT_TRUE(recorder().saw("Config update dropped audio.deeper from "));
    EXPECT_TRUE(backups().empty());
}

TEST_F(HostileInputTest, DeepNestingAsTheWholeDocumentIsQuarantinedIntact) {
    const std::string bytes = nestedArrays(kDeepLevels);
    write(bytes);
    expectMarked(loadOverMarked());
    const auto moved = backups();
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(readFile(moved[0]), bytes);
    EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(HostileInputTest, UnclosedDeepNestingIsQuarantined) {
    write("{\"audio\":" + std::string(kDeepLevels, '['));
    expectMarked(loadOverMarked());
    EXPECT_EQ(backups().size(), 1u);
}

// Each value lies beyond the range of the fields it is written into; the huge integers beyond
// 64 bits parse as floating-point numbers, which the integer fields refuse as well.
void writeNumbers(const std::string& int32Value, const std::string& floatValue,
                  const std::string& secondsValue,
                  const std::function<void(const std::string&)>& write) {
    write("{\"version\":" + int32Value + ",\"audio\":{\"bufferSizeMs\":" + int32Value +
          "},\"detection\":{\"sensitivity\":" + floatValue + ",\"minDurationMs\":" + int32Value +
          ",\"cooldownMs\":" + int32Value + ",\"fftSize\":" + int32Value +
          "},\"training\":{\"lastTrainedTimestamp\":" + secondsValue + "}}");
}

TEST_F(HostileInputTest, NumbersBeyondEveryRangeLeaveTheFieldsAlone) {
    const char* const int32Values[] = {"2147483648",
                                       "-2147483649",
                                       "9223372036854775807",
                                       "9223372036854775808",
                                       "18446744073709551615",
                                       "-9223372036854775808",
                                       "123456789012345678901234567890",
                                       "1e308"};
    const char* const floatValues[] = {"3.5e38",
                                       "-3.5e38",
                                       "1e39",
                                       "1e308",
                                       "-1e308",
                                       "1e400",
                                       "123456789012345678901234567890123456789012"};
    const char* const secondsValues[] = {"922337203686",
                                         "-922337203686",
                                         "9223372036854775807",
                                         "18446744073709551615",
                                         "-9223372036854775808",
                                         "123456789012345678901234567890",
                                         "1e308"};
    for (const char* int32Value : int32Values) {
        for (const char* floatValue : floatValues) {
            for (const char* secondsValue : secondsValues) {
                SCOPED_TRACE(std::string(int32Value) + " " + floatValue + " " + secondsValue);
                writeNumbers(int32Value, floatValue, secondsValue,
                             [this](const std::string& bytes) { write(bytes); });
                const bool quarantinable = std::string(floatValue) == "1e400";
                expectMarked(loadOverMarked());
                // 1e400 is beyond double: the parser refuses the document and it is moved aside.
                EXPECT_EQ(backups().size(), quarantinable ? 1u : 0u);
                for (const auto& old : backups()) {
                    std::filesystem::remove(old);
                }
            }
        }
    }
}

TEST_F(HostileInputTest, TimestampAtTheEdgeOfTheTickRangeIsKept) {
    // 922337203685 s is the last whole second whose 100 ns tick count fits 64 bits.
    write("{\"training\":{\"lastTrainedTimestamp\":922337203685}}");
    tvd::Config config;
    ASSERT_TRUE(tvd::loadConfigJson(path_, config));
    ASSERT_TRUE(config.training.lastTrainedTimestamp.has_value());
    EXPECT_EQ(config.training.lastTrainedTimestamp->time_since_epoch().count(),
              922337203685LL * 10'000'000LL);
    write("{\"training\":{\"lastTrainedTimestamp\":922337203686}}");
    tvd::Config overflow;
    ASSERT_TRUE(tvd::loadConfigJson(path_, overflow));
    EXPECT_FALSE(overflow.training.lastTrainedTimestamp.has_value());
}

class InvalidUtf8Test : public HostileInputTest,
                        public ::testing::WithParamInterface<const char*> {};

// Each string field in turn holds bytes that are not UTF-8 (a stray continuation byte, an
// overlong slash, an encoded surrogate, a code point above U+10FFFF, a truncated sequence).
TEST_P(InvalidUtf8Test, InvalidUtf8InAStringFieldIsQuarantinedWithItsBytes) {
    const std::string field = GetParam();
    const std::string bad[] = {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                               "ab\xE2\x82"};
    for (const std::string& bytes : bad) {
        for (const auto& old : backups()) {
            std::filesystem::remove(old);
        }
        const std::string section = field.substr(0, field.find('.'));
        const std::string key = field.substr(field.find('.') + 1);
        const std::string document =
            "{\"" + section + "\":{\"" + key + "\":\"x" + bytes + "y\"},\"version\":9}";
        write(document);
        expectMarked(loadOverMarked());
        const auto moved = backups();
        ASSERT_EQ(moved.size(), 1u);
        EXPECT_EQ(readFile(moved[0]), document);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryStringField, InvalidUtf8Test,
                         ::testing::Values("audio.deviceNamePattern", "audio.deviceId",
                                           "steamvr.customActionBinding", "training.dataFile",
                                           "training.unknownKey"));

TEST_F(HostileInputTest, InvalidUtf8InANarrowFieldIsRefusedBeforeTheDiskIsTouched) {
    tvd::Config config;
    config.training.dataFile = "bad\xFF";
    const auto nested = dir_ / "not" / "created" / "config.json";
    EXPECT_THROW((void)tvd::saveConfigJson(nested, config), nlohmann::json::type_error);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "not"));
}

TEST_F(HostileInputTest, HundredMegabyteDocumentLoads) {
    constexpr std::size_t kSize = 100u * 1024u * 1024u;
    std::string bytes = "{\"padding\":\"";
    bytes.append(kSize - bytes.size() - 40, 'p');
    bytes += "\",\"training\":{\"dataFile\":\"big.bin\"}}";
    write(bytes);
    const tvd::Config config = loadOverMarked();
    EXPECT_EQ(config.training.dataFile, "big.bin");
    EXPECT_TRUE(backups().empty());
}

TEST_F(HostileInputTest, HundredMegabytesOfGarbageAreQuarantinedWhole) {
    constexpr std::size_t kSize = 100u * 1024u * 1024u;
    std::string bytes = "{\"padding\":\"";
    bytes.append(kSize - bytes.size(), '\x01');
    write(bytes);
    expectMarked(loadOverMarked());
    const auto moved = backups();
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(moved[0]), kSize);
}

TEST_F(HostileInputTest, DirectoryAtThePathIsNeitherReadNorMoved) {
    std::filesystem::create_directory(path_);
    std::ofstream(path_ / "inside") << "keep";
    expectMarked(loadOverMarked());
    EXPECT_TRUE(std::filesystem::is_directory(path_));
    EXPECT_TRUE(std::filesystem::exists(path_ / "inside"));
    EXPECT_TRUE(backups().empty());
    EXPECT_TRUE(recorder().saw("No config file at "));
}

TEST_F(HostileInputTest, FifoAtThePathNeitherBlocksNorIsMoved) {
    if (!tarvik::platform::testing::makeFifo(path_)) {
        GTEST_SKIP() << "this platform cannot make a FIFO";
    }
    // A blocking open would wait here forever for a writer.
    expectMarked(loadOverMarked());
    EXPECT_TRUE(std::filesystem::is_fifo(path_));
    EXPECT_TRUE(backups().empty());
    EXPECT_TRUE(recorder().saw("No config file at "));
}

TEST_F(HostileInputTest, FifoAtTheTemporaryNameFailsTheSaveWithoutBlocking) {
    ASSERT_TRUE(tvd::saveConfigJson(path_, marked()));
    const std::string before = readFile(path_);
    if (!tarvik::platform::testing::makeFifo(dir_ / "config.json.tmp")) {
        GTEST_SKIP() << "this platform cannot make a FIFO";
    }
    EXPECT_FALSE(tvd::saveConfigJson(path_, tvd::Config{}));
    EXPECT_TRUE(recorder().saw("Could not open temp config file: "));
    EXPECT_EQ(readFile(path_), before);
}

}  // namespace
