// Hunts faults that only a second process holding the file can show: a load that does not
// recognise Windows' sharing violation and so gives up at once or reports a missing file, a
// retry loop with the wrong count or without its pauses, a load or quarantine that touches a
// file it could not use, a save that deletes the target another program holds, and a helper
// command line that loses non-ASCII characters of the path it is given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <system_error>

#include <nlohmann/json.hpp>

#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigFile.h>
#include "tests/windows/WindowsTestFixture.h"

namespace tarvik::windows_tests {
namespace {

using platform::testing::Sharing;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr unsigned kSharingViolation = 32;  // ERROR_SHARING_VIOLATION

nlohmann::json documentOf(const driver::Config& config) {
    nlohmann::json document;
    driver::to_json(document, config);
    return document;
}

driver::Config withSensitivity(float sensitivity) {
    driver::Config config;
    config.detection.sensitivity = sensitivity;
    return config;
}

class SharingTest : public WindowsTest {};

TEST_F(SharingTest, LoadGivesUpAfterThreeRefusalsWhileAnotherProcessHoldsTheFile) {
    const auto path = scratch() / "config.json";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));
    const std::string before = readFile(path);

    FileHeldByOtherProcess holder(path, Sharing::None);
    ASSERT_TRUE(holder.held()) << holder.status();
    logger().clear();

    driver::Config loaded;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(driver::loadConfigJson(path, loaded));
    const auto took = std::chrono::steady_clock::now() - started;

    const std::string retry = "; retrying in 50 ms";
    EXPECT_THAT(
        logger().entries(),
        ElementsAre(LogLine{LogLevel::Warn, "config.json sharing violation (attempt 1/3)" + retry},
                    LogLine{LogLevel::Warn, "config.json sharing violation (attempt 2/3)" + retry},
                    LogLine{LogLevel::Warn, "config.json sharing violation (attempt 3/3)" + retry},
                    LogLine{LogLevel::Warn,
                            "config.json read failed after 3 SHARING_VIOLATION attempts; "
                            "loading defaults"}));
    // Three pauses of 50 ms, the last one included, before giving up.
    EXPECT_GE(took, std::chrono::milliseconds(150));
    EXPECT_EQ(documentOf(loaded), documentOf(driver::Config{}));

    ASSERT_TRUE(holder.release());
    EXPECT_EQ(readFile(path), before);
    EXPECT_THAT(namesIn(scratch()), ElementsAre("config.json"));
}

// The directory name is not ASCII: the helper can only open the file if it reads its wide
// command line.
TEST_F(SharingTest, LoadReadsTheFileWhenTheHolderLetsGoDuringTheFirstPause) {
    const auto directory = scratch() / L"Gr\u00fc\u00dfe \u8a2d\u5b9a";
    const auto path = directory / "config.json";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));

    FileHeldByOtherProcess holder(path, Sharing::None);
    ASSERT_TRUE(holder.held()) << holder.status();
    logger().clear();
    bool released = false;
    logger().setOnLog([&](LogLevel, std::string_view text) {
        if (text.find("(attempt 1/3)") != std::string_view::npos) {
            released = holder.release();  // the load pauses right after this message
        }
    });

    driver::Config loaded;
    EXPECT_TRUE(driver::loadConfigJson(path, loaded));

    EXPECT_TRUE(released);
    EXPECT_THAT(
        logger().entries(),
        ElementsAre(LogLine{LogLevel::Warn,
                            "config.json sharing violation (attempt 1/3); retrying in 50 ms"},
                    LogLine{LogLevel::Info, "Driver loaded config from: " + utf8(path)}));
    EXPECT_EQ(loaded.detection.sensitivity, 0.3f);
}

TEST_F(SharingTest, QuarantineOfAFileHeldWithoutDeleteSharingLogsTheSystemTextAndLeavesIt) {
    const auto path = scratch() / "config.json";
    const std::string corrupt = "[1, 2, 3]";
    writeFile(path, corrupt);

    {
        // Read and write sharing lets the load read the file; without delete sharing the
        // move aside must be refused.
        FileHeldByOtherProcess holder(path, Sharing::ReadWriteNoDelete);
        ASSERT_TRUE(holder.held()) << holder.status();

        driver::Config loaded;
        EXPECT_TRUE(driver::loadConfigJson(path, loaded));
        EXPECT_EQ(documentOf(loaded), documentOf(driver::Config{}));

        ASSERT_EQ(logger().entries().size(), 2u);
        EXPECT_EQ(logger().entries()[0],
                  (LogLine{LogLevel::Warn,
                           "Config file corrupted; backing up and using defaults: " + utf8(path)}));
        const LogLine refusal = logger().entries()[1];
        EXPECT_EQ(refusal.level, LogLevel::Error);
        EXPECT_THAT(refusal.text, StartsWith("Could not rename corrupt config to " +
                                             utf8(scratch() / "config.json.corrupted.")));
        // The system's own words for the refusal, not a generic C library errno text.
        EXPECT_THAT(refusal.text,
                    HasSubstr(": " + std::system_category().message(kSharingViolation)));
        EXPECT_THAT(refusal.text, Not(HasSubstr("Input/output error")));
        EXPECT_EQ(readFile(path), corrupt);
        EXPECT_THAT(namesIn(scratch()), ElementsAre("config.json"));
    }

    // Once the other program has let go, the next load moves the file aside.
    logger().clear();
    driver::Config loaded;
    EXPECT_TRUE(driver::loadConfigJson(path, loaded));
    ASSERT_EQ(logger().entries().size(), 2u);
    EXPECT_THAT(logger().entries()[1].text, StartsWith("Backed up corrupt config to: "));
    const auto names = namesIn(scratch());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_THAT(names[0], StartsWith("config.json.corrupted."));
}

TEST_F(SharingTest, SaveOverATargetHeldWithoutSharingFailsInReplaceFileWAndKeepsTheTarget) {
    const auto path = scratch() / "config.json";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));
    const std::string before = readFile(path);

    FileHeldByOtherProcess holder(path, Sharing::None);
    ASSERT_TRUE(holder.held()) << holder.status();
    logger().clear();

    EXPECT_FALSE(driver::saveConfigJson(path, withSensitivity(0.7f)));

    // Tried five times, 100 ms apart, as against an antivirus scanner's short hold; a holder
    // that keeps the file wins.
    const auto entries = logger().entries();
    ASSERT_EQ(entries.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].level, LogLevel::Warn);
        EXPECT_THAT(entries[i].text, HasSubstr("; retrying in 100 ms"));
    }
    EXPECT_EQ(entries[4].level, LogLevel::Error);
    EXPECT_THAT(entries[4].text, StartsWith("ReplaceFileW failed (GetLastError="));
    ASSERT_TRUE(holder.release());
    EXPECT_EQ(readFile(path), before);
    // Our temporary file is gone. (Wine's ReplaceFileW leaves an empty backup of its own,
    // "rfXXXX.tmp", after this failure; Windows does not. Neither is ours to remove.)
    EXPECT_FALSE(std::filesystem::exists(scratch() / "config.json.tmp"));
}

// The file is there, but another program keeps it from being read: an update must not put the
// caller's defaults over it.
TEST_F(SharingTest, UpdateOfAFileHeldWithoutSharingWritesNothing) {
    const auto path = scratch() / "config.json";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));
    const std::string before = readFile(path);

    FileHeldByOtherProcess holder(path, Sharing::None);
    ASSERT_TRUE(holder.held()) << holder.status();
    logger().clear();

    driver::Config config;
    bool changed = false;
    const driver::SaveOutcome outcome = driver::updateConfigJsonOutcome(
        path, config, [&changed](driver::Config&) { changed = true; });
    EXPECT_EQ(outcome.failure, driver::SaveFailure::ReadExisting);
    EXPECT_EQ(outcome.load, driver::LoadOutcome::Locked);
    EXPECT_FALSE(changed);
    ASSERT_FALSE(logger().entries().empty());
    EXPECT_EQ(logger().entries().back(),
              (LogLine{LogLevel::Error, "Config not updated: could not read " + utf8(path) +
                                            " (locked by another program)"}));
    ASSERT_TRUE(holder.release());
    EXPECT_EQ(readFile(path), before);
    EXPECT_THAT(namesIn(scratch()), ElementsAre("config.json"));
}

// The load opens the file sharing delete access, so that a swap can go ahead while it reads:
// a reader with that sharing must never make a save fail. (That the load itself opens it so is
// shown by the contention test, where a loader runs beside two savers without a failed save.)
TEST_F(SharingTest, SaveSucceedsWhileAReaderThatSharesDeleteHasTheFileOpen) {
    const auto path = scratch() / "config.json";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));
    platform::testing::HeldFile reader;
    ASSERT_EQ(reader.open(path, Sharing::ReadWriteDelete), 0u);
    const bool saved = driver::saveConfigJson(path, withSensitivity(0.7f));
    reader.close();
    EXPECT_TRUE(saved);
    EXPECT_EQ(readFile(path), documentOf(withSensitivity(0.7f)).dump(4));
    EXPECT_TRUE(logger().entries().empty());
}

}  // namespace
}  // namespace tarvik::windows_tests
