// Hunts faults in the Win32 swap and open calls: a save that takes the wrong swap call, a swap
// that breaks on relative names (Wine's ReplaceFileW refuses them), a missing file reported
// with the wrong error number, a recovery from ReplaceFileW's error 1176 that deletes the
// temporary file although it may hold the only copy of the new document, a hidden, system or
// read-only leftover temporary file that blocks every save, a target near MAX_PATH whose
// longer temporary and backup names the Win32 calls refuse, and an update that meets another
// program's swap while it holds the lock, takes the file for missing and writes its record alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"
#include "platform/testing/OsTestSupport.h"
#include "tests/windows/WindowsTestFixture.h"

namespace tarvik::windows_tests {
namespace {

using platform::testing::injectedCount;
using platform::testing::Operation;
using platform::testing::runBeforeNext;
using platform::testing::ScopedFault;
using ::testing::ElementsAre;

constexpr platform::ErrorCode kAccessDenied = 5;                // ERROR_ACCESS_DENIED
constexpr platform::ErrorCode kUnableToMoveReplacement = 1176;  // ERROR_UNABLE_TO_MOVE_REPLACEMENT

driver::Config withSensitivity(float sensitivity) {
    driver::Config config;
    config.detection.sensitivity = sensitivity;
    return config;
}

float loadedSensitivity(const std::filesystem::path& path) {
    driver::Config loaded;
    loaded.detection.sensitivity = -1.0f;
    EXPECT_TRUE(driver::loadConfigJson(path, loaded));
    return loaded.detection.sensitivity;
}

class SwapTest : public WindowsTest {};

TEST_F(SwapTest, FirstSaveMovesIntoPlaceAndSecondSaveReplaces) {
    const auto path = scratch() / "settings" / "config.json";
    {
        // The other swap call is armed to fail: the save only succeeds through the right one.
        ScopedFault replaceRefused(Operation::Replace, kAccessDenied, -1);
        EXPECT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));
        EXPECT_EQ(injectedCount(Operation::Replace), 0);
    }
    {
        ScopedFault moveRefused(Operation::MoveIntoPlace, kAccessDenied, -1);
        EXPECT_TRUE(driver::saveConfigJson(path, withSensitivity(0.7f)));
        EXPECT_EQ(injectedCount(Operation::MoveIntoPlace), 0);
    }
    EXPECT_TRUE(logger().entries().empty());
    EXPECT_THAT(namesIn(path.parent_path()), ElementsAre("config.json"));
    EXPECT_EQ(loadedSensitivity(path), 0.7f);
}

TEST_F(SwapTest, SavesThroughARelativePathReplaceTheTarget) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(scratch());
    const std::filesystem::path relative = std::filesystem::path("settings") / "config.json";
    const bool first = driver::saveConfigJson(relative, withSensitivity(0.3f));
    const bool second = driver::saveConfigJson(relative, withSensitivity(0.7f));
    std::filesystem::current_path(previous);

    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
    EXPECT_TRUE(logger().entries().empty());
    EXPECT_THAT(namesIn(scratch() / "settings"), ElementsAre("config.json"));
    EXPECT_EQ(loadedSensitivity(scratch() / relative), 0.7f);
}

// The save always names a directory, but the platform calls themselves must not depend on it:
// Wine's ReplaceFileW fails a bare file name with error 267 where Windows accepts it.
TEST_F(SwapTest, PlatformSwapCallsAcceptBareFileNames) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(scratch());
    writeFile("config.json", "old");
    writeFile("config.json.tmp", "new");
    const platform::ErrorCode replaced = platform::replaceFile("config.json", "config.json.tmp");
    writeFile("config.json.tmp", "newer");
    const platform::ErrorCode moved = platform::moveIntoPlace("config.json.tmp", "config.json");
    const platform::ErrorCode movedAside = platform::moveAside("config.json", "config.json.aside");
    std::filesystem::current_path(previous);

    EXPECT_EQ(replaced, 0u);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(movedAside, 0u);
    EXPECT_THAT(namesIn(scratch()), ElementsAre("config.json.aside"));
    EXPECT_EQ(readFile(scratch() / "config.json.aside"), "newer");
}

TEST_F(SwapTest, MissingFileIsReportedWithErrno2AndMissingDirectoryWithErrno3) {
    const auto missingFile = scratch() / "config.json";
    const auto missingDirectory = scratch() / "absent" / "config.json";
    driver::Config loaded;
    EXPECT_TRUE(driver::loadConfigJson(missingFile, loaded));
    EXPECT_TRUE(driver::loadConfigJson(missingDirectory, loaded));
    EXPECT_THAT(logger().entries(),
                ElementsAre(LogLine{LogLevel::Info, "No config file at " + utf8(missingFile) +
                                                        "; using defaults (errno=2)"},
                            LogLine{LogLevel::Info, "No config file at " + utf8(missingDirectory) +
                                                        "; using defaults (errno=3)"}));
}

// ReplaceFileW's error 1176 may come after it has removed the target. Both states are tried:
// target still there, and target gone with the new document only in the temporary file.
class ReplacementFallbackTest : public SwapTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ReplacementFallbackTest, Error1176MovesTheTemporaryFileIntoPlace) {
    const bool targetRemoved = GetParam();
    const auto path = scratch() / "config.json";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));
    if (targetRemoved) {
        logger().setOnLog([&](LogLevel, std::string_view) { std::filesystem::remove(path); });
    }

    ScopedFault replaceFails(Operation::Replace, kUnableToMoveReplacement);
    EXPECT_TRUE(driver::saveConfigJson(path, withSensitivity(0.7f)));

    EXPECT_THAT(logger().entries(),
                ElementsAre(LogLine{LogLevel::Error, "ReplaceFileW failed (GetLastError=1176)"}));
    logger().setOnLog(nullptr);
    EXPECT_THAT(namesIn(scratch()), ElementsAre("config.json"));
    EXPECT_EQ(loadedSensitivity(path), 0.7f);
}

INSTANTIATE_TEST_SUITE_P(TargetState, ReplacementFallbackTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("TargetRemoved")
                                               : std::string("TargetPresent");
                         });

TEST_F(SwapTest, WhenError1176AndTheFallbackMoveBothFailTheTemporaryFileIsKept) {
    const auto path = scratch() / "config.json";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));

    ScopedFault replaceFails(Operation::Replace, kUnableToMoveReplacement);
    platform::testing::failNext(Operation::MoveIntoPlace, kAccessDenied);
    EXPECT_FALSE(driver::saveConfigJson(path, withSensitivity(0.7f)));

    EXPECT_THAT(
        logger().entries(),
        ElementsAre(LogLine{LogLevel::Error, "ReplaceFileW failed (GetLastError=1176)"},
                    LogLine{LogLevel::Error, "MoveFileExW failed on first save (GetLastError=5)"}));
    EXPECT_THAT(namesIn(scratch()), ElementsAre("config.json", "config.json.tmp"));
    EXPECT_EQ(loadedSensitivity(scratch() / "config.json.tmp"), 0.7f);
}

TEST_F(SwapTest, OtherReplaceFailuresRemoveTheTemporaryFileWithoutAFallbackMove) {
    const auto path = scratch() / "config.json";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));

    // A full disk: not one of the short locks that are worth another try.
    constexpr unsigned kDiskFull = 112;  // ERROR_DISK_FULL
    ScopedFault replaceFails(Operation::Replace, kDiskFull);
    platform::testing::failNext(Operation::MoveIntoPlace, kAccessDenied, -1);
    EXPECT_FALSE(driver::saveConfigJson(path, withSensitivity(0.7f)));

    EXPECT_EQ(injectedCount(Operation::Replace), 1);
    EXPECT_EQ(injectedCount(Operation::MoveIntoPlace), 0);
    EXPECT_THAT(logger().entries(),
                ElementsAre(LogLine{LogLevel::Error, "ReplaceFileW failed (GetLastError=112)"}));
    EXPECT_THAT(namesIn(scratch()), ElementsAre("config.json"));
    EXPECT_EQ(loadedSensitivity(path), 0.3f);
}

// What an interrupted save over a read-only, hidden or system target can leave behind: opened
// with CREATE_ALWAYS, such a leftover refuses the open, and every later save fails.
TEST_F(SwapTest, HiddenSystemReadOnlyLeftoverDoesNotBlockTheSave) {
    const auto path = scratch() / "config.json";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));
    const auto leftover = scratch() / "config.json.tmp";
    writeFile(leftover, "orphan");
    ASSERT_TRUE(platform::testing::markHiddenSystemReadOnly(leftover));

    EXPECT_TRUE(driver::saveConfigJson(path, withSensitivity(0.7f)));
    EXPECT_TRUE(logger().entries().empty());
    EXPECT_THAT(namesIn(scratch()), ElementsAre("config.json"));
    EXPECT_EQ(loadedSensitivity(path), 0.7f);
}

// A target whose own name fits within MAX_PATH (260) but whose "<name>.tmp" and backup names do
// not: the Win32 calls get extended-length names, so saves, loads and the quarantine all work.
TEST_F(SwapTest, TargetNearMaxPathIsSavedLoadedAndQuarantined) {
    const std::wstring base = scratch().wstring();
    const std::size_t wanted = 255;  // the whole target name, without a terminating zero
    const std::wstring fileName = L"config.json";
    ASSERT_LT(base.size() + 2 + fileName.size(), wanted) << utf8(scratch());
    const std::size_t dirLength = wanted - base.size() - 2 - fileName.size();
    const auto directory = scratch() / std::wstring(dirLength, L'd');
    const auto path = directory / fileName;
    ASSERT_EQ(path.wstring().size(), wanted);
    std::filesystem::create_directory(directory);

    EXPECT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));
    EXPECT_TRUE(driver::saveConfigJson(path, withSensitivity(0.7f)));
    EXPECT_TRUE(logger().entries().empty());
    EXPECT_THAT(namesIn(directory), ElementsAre("config.json"));
    EXPECT_EQ(loadedSensitivity(path), 0.7f);

    writeFile(path, "[]");
    logger().clear();
    driver::Config config;
    EXPECT_TRUE(driver::loadConfigJson(path, config));
    const std::vector<std::string> names = namesIn(directory);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("config.json.corrupted.", 0), 0u) << names[0];
}

// Another program that does not take the lock (a tray application written in another language,
// say) swaps a new document in with ReplaceFileW, which renames the old file away before it
// renames the new one into place. An update holding the lock reads in between: the name is gone
// for a moment. It must read again, as the plain load does, and change that program's document;
// taking the file for missing would write the driver's record alone and lose every other setting.
TEST_F(SwapTest, UpdateThatMeetsAnotherProgramsSwapReadsAgainAndKeepsThatProgramsDocument) {
    namespace fs = std::filesystem;
    const auto path = scratch() / "config.json";
    const auto away = scratch() / "config.json.replaced";
    const auto incoming = scratch() / "tray.tmp";
    ASSERT_TRUE(driver::saveConfigJson(path, withSensitivity(0.3f)));
    nlohmann::json theirs = withSensitivity(0.6f);
    theirs["trayOnly"] = "kept";
    writeFile(incoming, theirs.dump(4));
    // The swap's first half just before the update's read, its second half before the next read.
    runBeforeNext(Operation::ReadFile, [&] {
        fs::rename(path, away);
        runBeforeNext(Operation::ReadFile, [&] {
            fs::rename(incoming, path);
            fs::remove(away);
        });
    });

    driver::Config config;
    ASSERT_TRUE(driver::updateConfigJson(path, config,
                                         [](driver::Config& c) { c.audio.bufferSizeMs = 20; }));
    const nlohmann::json written = nlohmann::json::parse(readFile(path));
    EXPECT_EQ(written.value("trayOnly", ""), "kept");
    EXPECT_EQ(config.detection.sensitivity, 0.6f);
    EXPECT_EQ(written["detection"]["sensitivity"], nlohmann::json(0.6f));
    EXPECT_EQ(written["audio"]["bufferSizeMs"], 20);
    EXPECT_THAT(namesIn(scratch()), ElementsAre("config.json"));
}

}  // namespace
}  // namespace tarvik::windows_tests
