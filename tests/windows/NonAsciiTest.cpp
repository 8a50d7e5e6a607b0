// Hunts conversions that lose or reject characters outside ASCII: a path or a device name
// pushed through the ANSI code page, a UTF-16 surrogate pair split in two, and a log message
// whose rendering of a path throws and so turns a load that should report "no config file"
// into an exception.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigFile.h>
#include "tests/windows/WindowsTestFixture.h"

namespace tarvik::windows_tests {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::SizeIs;
using ::testing::StartsWith;

// Latin-1, CJK and a character outside the Basic Multilingual Plane (a surrogate pair).
const std::wstring kDirectoryName = L"Gr\u00fc\u00dfe \u8a2d\u5b9a \U0001F3A7";
const std::wstring kDevicePattern = L"Mikrofon \u00e9\u00e8 \u8a2d\u5b9a \U0001F3A4";
const std::string kDevicePatternUtf8 =
    "Mikrofon \xC3\xA9\xC3\xA8 \xE8\xA8\xAD\xE5\xAE\x9A \xF0\x9F\x8E\xA4";
const std::string kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

class NonAsciiTest : public WindowsTest {};

TEST_F(NonAsciiTest, SaveAndLoadRoundTripInANonAsciiDirectory) {
    const auto path = scratch() / kDirectoryName / "config.json";
    driver::Config first;
    first.audio.deviceNamePattern = kDevicePattern;
    first.audio.deviceId = L"{0.0.1.00000000}.\u00e4\u00f6\u00fc";
    ASSERT_TRUE(driver::saveConfigJson(path, first));
    driver::Config second = first;
    second.detection.sensitivity = 0.3f;
    ASSERT_TRUE(driver::saveConfigJson(path, second));

    EXPECT_THAT(readFile(path), HasSubstr("\"deviceNamePattern\": \"" + kDevicePatternUtf8 + "\""));
    EXPECT_THAT(namesIn(path.parent_path()), ElementsAre("config.json"));

    driver::Config loaded;
    EXPECT_TRUE(driver::loadConfigJson(path, loaded));
    EXPECT_EQ(loaded.audio.deviceNamePattern, kDevicePattern);
    EXPECT_EQ(loaded.audio.deviceId, first.audio.deviceId);
    EXPECT_EQ(loaded.detection.sensitivity, 0.3f);
    // Every character of the path survives into the log line.
    EXPECT_THAT(logger().entries(),
                ElementsAre(LogLine{LogLevel::Info, "Driver loaded config from: " + utf8(path)}));
}

TEST_F(NonAsciiTest, CorruptFileInANonAsciiDirectoryIsMovedAsideUnderAStampedName) {
    const auto directory = scratch() / kDirectoryName;
    std::filesystem::create_directories(directory);
    const auto path = directory / "config.json";
    writeFile(path, "{ not json");

    driver::Config loaded;
    EXPECT_TRUE(driver::loadConfigJson(path, loaded));

    const auto names = namesIn(directory);
    ASSERT_THAT(names, SizeIs(1));
    const std::string& backup = names[0];
    ASSERT_THAT(backup, StartsWith("config.json.corrupted."));
    // The local time stamp from the C runtime: "YYYYMMDD-HHMMSS".
    const std::string stamp = backup.substr(std::string("config.json.corrupted.").size());
    ASSERT_EQ(stamp.size(), 15u) << backup;
    for (std::size_t i = 0; i < stamp.size(); ++i) {
        if (i == 8) {
            EXPECT_EQ(stamp[i], '-') << backup;
        } else {
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(stamp[i]))) << backup;
        }
    }
    EXPECT_EQ(readFile(directory / backup), "{ not json");
    EXPECT_THAT(
        logger().entries(),
        ElementsAre(
            LogLine{LogLevel::Warn,
                    "Config file corrupted; backing up and using defaults: " + utf8(path)},
            LogLine{LogLevel::Warn, "Backed up corrupt config to: " + utf8(directory / backup)}));
}

// NTFS names may hold a UTF-16 surrogate without its partner. Such a path has no UTF-8 form,
// and the standard library's conversions throw on it; the messages must still be written.
TEST_F(NonAsciiTest, PathWithAnUnpairedSurrogateIsLoggedWithoutThrowing) {
    std::wstring name = L"lone";
    name.push_back(static_cast<wchar_t>(0xD800));
    name += L"surrogate";
    const auto path = scratch() / name / "config.json";

    driver::Config loaded;
    bool result = false;
    EXPECT_NO_THROW(result = driver::loadConfigJson(path, loaded));
    EXPECT_TRUE(result);
    ASSERT_THAT(logger().entries(), SizeIs(1));
    EXPECT_EQ(logger().entries()[0].level, LogLevel::Info);
    EXPECT_THAT(logger().entries()[0].text, StartsWith("No config file at " + utf8(scratch())));
    EXPECT_THAT(logger().entries()[0].text,
                HasSubstr("lone" + kReplacementCharacter + "surrogate"));
    EXPECT_THAT(logger().entries()[0].text, EndsWith(")"));
}

TEST_F(NonAsciiTest, TextConversionsKeepSurrogatePairsAndReplaceUnpairedSurrogates) {
    std::wstring wide;
    ASSERT_TRUE(driver::utf8ToWide(kDevicePatternUtf8, wide));
    EXPECT_EQ(wide, kDevicePattern);
    EXPECT_EQ(driver::wideToUtf8(kDevicePattern), kDevicePatternUtf8);

    std::wstring unpaired = L"a";
    unpaired.push_back(static_cast<wchar_t>(0xDC00));
    unpaired += L"b";
    EXPECT_EQ(driver::wideToUtf8(unpaired), "a" + kReplacementCharacter + "b");

    // A surrogate encoded in UTF-8 is not valid UTF-8; MB_ERR_INVALID_CHARS must refuse it.
    EXPECT_FALSE(driver::utf8ToWide("\xED\xA0\x80", wide));
    EXPECT_TRUE(wide.empty());
}

}  // namespace
}  // namespace tarvik::windows_tests
