// Hunts faults in what several writers of one file rely on: two saves of one target that
// overlap (a torn document, a failed swap), a lock that is not released or that a thread of
// the same process does not see, an update that loses another writer's change or saves its
// defaults over a file it could not read, a load that reports the wrong outcome, a quarantine
// that moves aside a document saved after the load read a corrupt one, and a Windows swap that
// gives up at the first short lock of another program.
#include <chrono>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"
#include "platform/testing/FaultInjection.h"
#include "tests/support/TestSupport.h"

namespace tarvik::driver {
namespace {

using common::LogLevel;
using platform::testing::Operation;
using platform::testing::ScopedFault;
using testsupport::describe;
using testsupport::Log;
using testsupport::namesIn;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

std::string documentOf(const Config& config) {
    nlohmann::json document;
    to_json(document, config);
    return document.dump(4);
}

Config withVersion(int version) {
    Config config;
    config.version = version;
    return config;
}

class UpdateTest : public testsupport::ScratchTest {
protected:
    fs::path path() const { return dir_ / "config.json"; }
    fs::path temp() const { return dir_ / "config.json.tmp"; }
    std::string busyLine() const {
        return "Could not save config: another save holds " + path().string() + " (waited 2000 ms)";
    }
};

// --- the lock itself ---------------------------------------------------------------------

TEST_F(UpdateTest, LockOfOneTargetExcludesAnotherThreadUntilReleased) {
    platform::SaveLock held;
    ASSERT_EQ(held.acquire(path(), std::chrono::milliseconds(0)), 0u);
    // Another thread: on Windows the mutex is recursive for the thread that holds it.
    const auto tryFromAnotherThread = [this] {
        return std::async(std::launch::async,
                          [this] {
                              platform::SaveLock other;
                              return other.acquire(path(), std::chrono::milliseconds(20));
                          })
            .get();
    };
    EXPECT_TRUE(platform::isLockTimeout(tryFromAnotherThread()));
    held.release();
    EXPECT_EQ(tryFromAnotherThread(), 0u);
}

TEST_F(UpdateTest, SaveWaitsForTheHolderThenGoesAhead) {
    auto held = std::make_unique<platform::SaveLock>();
    ASSERT_EQ(held->acquire(path(), std::chrono::milliseconds(0)), 0u);
    auto save =
        std::async(std::launch::async, [this] { return saveConfigJson(path(), withVersion(7)); });
    // While the lock is held the save must neither finish nor touch the directory.
    EXPECT_EQ(save.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_TRUE(namesIn(dir_).empty());
    held.reset();
    EXPECT_TRUE(save.get());
    EXPECT_EQ(readFile(path()), documentOf(withVersion(7)));
    EXPECT_TRUE(log().empty());
}

TEST_F(UpdateTest, SaveThatCannotGetTheLockWritesNothingAndSaysWhoHoldsIt) {
    ASSERT_TRUE(saveConfigJson(path(), withVersion(3)));
    ScopedFault busy(Operation::AcquireLock, platform::testing::kLockTimeoutMarker);
    const SaveOutcome outcome = saveConfigJsonOutcome(path(), withVersion(4));
    EXPECT_EQ(outcome.failure, SaveFailure::Busy);
    EXPECT_EQ(outcome.message(path()), "another save holds " + path().string());
    EXPECT_EQ(log(), (Log{{LogLevel::Error, busyLine()}}));
    EXPECT_EQ(readFile(path()), documentOf(withVersion(3)));
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
}

TEST_F(UpdateTest, FailedWriteOfTheTemporaryFileIsSilentInTheLogButNotInTheOutcome) {
    ScopedFault full(Operation::WriteTemp, static_cast<platform::ErrorCode>(
                                               std::errc::no_space_on_device));  // POSIX number
    const SaveOutcome outcome = saveConfigJsonOutcome(path(), Config{});
    EXPECT_EQ(outcome.failure, SaveFailure::WriteTemp);
    EXPECT_EQ(outcome.error.value(), static_cast<int>(std::errc::no_space_on_device));
    EXPECT_NE(outcome.message(path()).find("could not write the temporary file"),
              std::string::npos);
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(namesIn(dir_).empty());
}

// --- updates ----------------------------------------------------------------------------

TEST_F(UpdateTest, UpdateChangesOneSettingAndKeepsTheOthersFromTheFile) {
    Config stored = withVersion(5);
    stored.audio.bufferSizeMs = 42;
    ASSERT_TRUE(saveConfigJson(path(), stored));

    Config config;  // the caller's defaults: overlaid by the file before the change
    ASSERT_TRUE(
        updateConfigJson(path(), config, [](Config& c) { c.detection.sensitivity = 0.25f; }));
    Config expected = stored;
    expected.detection.sensitivity = 0.25f;
    EXPECT_EQ(describe(config), describe(expected));
    EXPECT_EQ(readFile(path()), documentOf(expected));
    EXPECT_FALSE(fs::exists(temp()));
}

TEST_F(UpdateTest, UpdateOfAMissingFileSavesTheDefaultsWithTheChange) {
    Config config;
    const SaveOutcome outcome = updateConfigJsonOutcome(
        dir_ / "new" / "config.json", config, [](Config& c) { c.shownTrayNotification = true; });
    ASSERT_TRUE(outcome.ok()) << outcome.message(dir_ / "new" / "config.json");
    Config expected;
    expected.shownTrayNotification = true;
    EXPECT_EQ(readFile(dir_ / "new" / "config.json"), documentOf(expected));
}

// The file is there but could not be read: saving would replace the user's settings with the
// caller's defaults. Nothing may be written.
TEST_F(UpdateTest, UpdateNeverSavesOverAFileItCouldNotRead) {
    const std::string stored = documentOf(withVersion(9));
    writeFile(path(), stored);
    struct Case {
        const char* name;
        std::function<void()> arm;
        LoadOutcome found;
    };
    const std::vector<Case> cases = {
        {"locked", [] { platform::testing::reportSharingViolation(3); }, LoadOutcome::Locked},
        {"unreadable",
         [] {
             platform::testing::failNext(Operation::ReadFile,
                                         static_cast<platform::ErrorCode>(EACCES));
         },
         LoadOutcome::Unreadable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder().clear();
        c.arm();
        Config config;
        bool changed = false;
        const SaveOutcome outcome =
            updateConfigJsonOutcome(path(), config, [&changed](Config&) { changed = true; });
        platform::testing::clearFaults();
        EXPECT_EQ(outcome.failure, SaveFailure::ReadExisting);
        EXPECT_EQ(outcome.load, c.found);
        EXPECT_FALSE(changed);
        EXPECT_TRUE(recorder().saw("Config not updated: could not read " + path().string()));
        EXPECT_EQ(log().back().level, LogLevel::Error);
        EXPECT_EQ(readFile(path()), stored);
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    }
}

TEST_F(UpdateTest, UpdateKeepsACorruptFileItCouldNotMoveAside) {
    writeFile(path(), "{ not json");
    ScopedFault refused(Operation::MoveAside, static_cast<platform::ErrorCode>(EACCES));
    Config config;
    const SaveOutcome outcome = updateConfigJsonOutcome(path(), config, [](Config&) {});
    EXPECT_EQ(outcome.failure, SaveFailure::ReadExisting);
    EXPECT_EQ(outcome.load, LoadOutcome::CorruptLeftInPlace);
    EXPECT_EQ(readFile(path()), "{ not json");
}

TEST_F(UpdateTest, UpdateOfACorruptFileBacksItUpThenSavesTheChange) {
    writeFile(path(), "{ not json");
    Config config;
    ASSERT_TRUE(updateConfigJson(path(), config, [](Config& c) { c.version = 2; }));
    EXPECT_EQ(readFile(path()), documentOf(withVersion(2)));
    const auto names = namesIn(dir_);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "config.json");
    EXPECT_EQ(readFile(dir_ / names[1]), "{ not json");
}

TEST_F(UpdateTest, ChangeThatThrowsWritesNothingAndReleasesTheLock) {
    ASSERT_TRUE(saveConfigJson(path(), withVersion(3)));
    Config config;
    EXPECT_THROW(
        (void)updateConfigJson(path(), config, [](Config&) { throw std::runtime_error("no"); }),
        std::runtime_error);
    EXPECT_EQ(readFile(path()), documentOf(withVersion(3)));
    // Released: a save from another thread gets the lock at once.
    EXPECT_TRUE(std::async(std::launch::async, [this] {
                    return saveConfigJson(path(), withVersion(4));
                }).get());
}

// Four writers, each adding one to its own field: with a lock that did not span the read and
// the write, one writer's save would carry another's stale value and lose its increment.
TEST_F(UpdateTest, ConcurrentUpdatesOfDifferentFieldsLoseNothing) {
    ASSERT_TRUE(saveConfigJson(path(), Config{}));
    constexpr int kRounds = 40;
    const std::vector<std::function<std::int32_t&(Config&)>> fields = {
        [](Config& c) -> std::int32_t& { return c.version; },
        [](Config& c) -> std::int32_t& { return c.audio.bufferSizeMs; },
        [](Config& c) -> std::int32_t& { return c.detection.cooldownMs; },
        [](Config& c) -> std::int32_t& { return c.detection.fftSize; },
    };
    std::vector<std::future<int>> writers;
    for (const auto& field : fields) {
        writers.push_back(std::async(std::launch::async, [this, field] {
            int failures = 0;
            for (int i = 0; i < kRounds; ++i) {
                Config config;
                failures +=
                    updateConfigJson(path(), config, [&field](Config& c) { ++field(c); }) ? 0 : 1;
            }
            return failures;
        }));
    }
    for (auto& writer : writers) {
        EXPECT_EQ(writer.get(), 0);
    }
    Config loaded;
    ASSERT_EQ(loadConfigJsonOutcome(path(), loaded), LoadOutcome::Read);
    const Config defaults;
    EXPECT_EQ(loaded.version, defaults.version + kRounds);
    EXPECT_EQ(loaded.audio.bufferSizeMs, defaults.audio.bufferSizeMs + kRounds);
    EXPECT_EQ(loaded.detection.cooldownMs, defaults.detection.cooldownMs + kRounds);
    EXPECT_EQ(loaded.detection.fftSize, defaults.detection.fftSize + kRounds);
    EXPECT_FALSE(fs::exists(temp()));
}

// --- what a load found -------------------------------------------------------------------

TEST_F(UpdateTest, LoadOutcomeNamesEachCase) {
    Config config;
    EXPECT_EQ(loadConfigJsonOutcome(fs::path(), config), LoadOutcome::Unreadable);
    EXPECT_EQ(loadConfigJsonOutcome(path(), config), LoadOutcome::Missing);
    fs::create_directory(dir_ / "adir");
    EXPECT_EQ(loadConfigJsonOutcome(dir_ / "adir", config), LoadOutcome::Unreadable);

    ASSERT_TRUE(saveConfigJson(path(), withVersion(6)));
    EXPECT_EQ(loadConfigJsonOutcome(path(), config), LoadOutcome::Read);
    EXPECT_EQ(config.version, 6);

    platform::testing::reportSharingViolation(3);
    EXPECT_EQ(loadConfigJsonOutcome(path(), config), LoadOutcome::Locked);

    writeFile(path(), "[]");
    {
        ScopedFault refused(Operation::MoveAside, static_cast<platform::ErrorCode>(EACCES));
        EXPECT_EQ(loadConfigJsonOutcome(path(), config), LoadOutcome::CorruptLeftInPlace);
    }
    EXPECT_EQ(readFile(path()), "[]");
    EXPECT_EQ(loadConfigJsonOutcome(path(), config), LoadOutcome::CorruptMovedAside);
    EXPECT_FALSE(fs::exists(path()));
    EXPECT_EQ(config.version, 6);
}

// Between the load's read of a corrupt file and its quarantine another process saves a good
// document: that document must be read, not moved aside.
TEST_F(UpdateTest, QuarantineNeverTakesADocumentSavedAfterTheRead) {
    writeFile(path(), "{ truncated");
    const std::string saved = documentOf(withVersion(11));
    platform::testing::runBeforeNext(Operation::AcquireLock, [this, &saved] {
        writeFile(dir_ / "other.json", saved);
        fs::rename(dir_ / "other.json", path());
    });
    Config config;
    EXPECT_EQ(loadConfigJsonOutcome(path(), config), LoadOutcome::Read);
    EXPECT_EQ(config.version, 11);
    EXPECT_EQ(readFile(path()), saved);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    EXPECT_FALSE(recorder().saw("corrupt"));
}

// Windows' ReplaceFileW renames the target away before it renames the new file in: a load
// that finds no file waits for the save in progress and reads again. rename() on POSIX leaves
// no such gap, so there the missing file is simply missing.
TEST_F(UpdateTest, LoadThatFindsNoFileWaitsForASaveInProgressWhereTheSwapCanHideIt) {
    const std::string saved = documentOf(withVersion(12));
    platform::testing::runBeforeNext(Operation::AcquireLock, [this, &saved] {
        writeFile(path(), saved);  // the save that held the lock has finished
    });
    Config config;
    const LoadOutcome outcome = loadConfigJsonOutcome(path(), config);
    if (platform::swapMayHideTarget()) {
        EXPECT_EQ(outcome, LoadOutcome::Read);
        EXPECT_EQ(config.version, 12);
    } else {
        EXPECT_EQ(outcome, LoadOutcome::Missing);
        EXPECT_EQ(config.version, 1);
    }
}

// --- the swap against other programs' short locks (Windows) -------------------------------

class SwapRetryTest : public UpdateTest {
protected:
    void SetUp() override {
        UpdateTest::SetUp();
        if (!platform::isTransientSwapError(kSharingViolation)) {
            GTEST_SKIP() << "only Windows' swap meets other programs' short locks";
        }
    }
    static constexpr platform::ErrorCode kSharingViolation = 32;
};

TEST_F(SwapRetryTest, SwapHeldBrieflyByAnotherProgramIsTriedAgain) {
    ASSERT_TRUE(saveConfigJson(path(), withVersion(1)));
    ScopedFault scanner(Operation::Replace, kSharingViolation, 2);
    EXPECT_TRUE(saveConfigJson(path(), withVersion(2)));
    EXPECT_EQ(platform::testing::injectedCount(Operation::Replace), 2);
    EXPECT_EQ(readFile(path()), documentOf(withVersion(2)));
    const std::string retry = "ReplaceFileW failed (GetLastError=32, attempt ";
    EXPECT_EQ(log(), (Log{{LogLevel::Warn, retry + "1/5); retrying in 100 ms"},
                          {LogLevel::Warn, retry + "2/5); retrying in 100 ms"}}));
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
}

TEST_F(SwapRetryTest, SwapHeldThroughEveryTryFailsAndLeavesTheTargetIntact) {
    ASSERT_TRUE(saveConfigJson(path(), withVersion(1)));
    for (const platform::ErrorCode code : {32u, 5u, 1175u}) {
        SCOPED_TRACE(code);
        recorder().clear();
        ScopedFault held(Operation::Replace, code, -1);
        const SaveOutcome outcome = saveConfigJsonOutcome(path(), withVersion(2));
        EXPECT_EQ(outcome.failure, SaveFailure::Swap);
        EXPECT_EQ(platform::testing::injectedCount(Operation::Replace), 5);
        EXPECT_EQ(log().size(), 5u);
        EXPECT_EQ(log().back(),
                  (testsupport::LogEntry{LogLevel::Error, "ReplaceFileW failed (GetLastError=" +
                                                              std::to_string(code) + ")"}));
        EXPECT_EQ(readFile(path()), documentOf(withVersion(1)));
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    }
}

}  // namespace
}  // namespace tarvik::driver
