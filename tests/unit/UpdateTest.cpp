// Hunts faults in what several writers of one file rely on: two saves of one target that
// overlap (a torn document, a failed swap), a lock that is not released or that a thread of
// the same process does not see, a lock wait that leaves threads or descriptors behind or a
// lock that nobody wants held, a save from inside an update's change that waits for itself or
// overwrites the update, an update that loses another writer's change (a cleared value brought
// back from a stale record, members it does not know dropped) or saves its defaults over a file
// it could not read, a judge of the file that is not asked or not obeyed, a load that reports
// the wrong outcome, a quarantine that moves aside a document saved after the load read a
// corrupt one, and a Windows swap that gives up at the first short lock of another program.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigFile.h>
#include "config/RecordRead.h"
#include "platform/File.h"
#include "platform/testing/FaultInjection.h"
#include "platform/testing/OsTestSupport.h"
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

// A lock refused for another reason than a holder (POSIX: a directory this user may write but
// not read, mode 0300) is no busy file: a caller told "another save holds it" would wait and try
// again for ever. Both the save and the update fail with a failure of their own and write nothing.
TEST_F(UpdateTest, LockRefusedWithoutAHolderIsAFailureOfItsOwnNotBusy) {
    ASSERT_TRUE(saveConfigJson(path(), withVersion(3)));
    const platform::ErrorCode accessDenied = platform::testing::isPosix() ? 13 : 5;
    const std::string expected = "could not lock " + path().string() + " against other saves: " +
                                 std::system_category().message(static_cast<int>(accessDenied));
    for (const bool update : {false, true}) {
        SCOPED_TRACE(update ? "update" : "save");
        recorder().clear();
        ScopedFault refused(Operation::AcquireLock, accessDenied);
        Config config = withVersion(4);
        const SaveOutcome outcome =
            update ? updateConfigJsonOutcome(path(), config, [](Config& c) { c.version = 5; })
                   : saveConfigJsonOutcome(path(), config);
        EXPECT_EQ(outcome.failure, SaveFailure::Lock);
        EXPECT_EQ(outcome.message(path()), expected);
        EXPECT_EQ(log(), (Log{{LogLevel::Error, "Could not lock config file " + path().string() +
                                                    ": " + platform::errorText(accessDenied)}}));
        EXPECT_EQ(readFile(path()), documentOf(withVersion(3)));
    }
}

// The same with the real permission bits, where this user is kept out by them (not root).
TEST_F(UpdateTest, DirectoryThatMayBeWrittenButNotReadFailsTheSaveAsUnlockable) {
    if (!platform::testing::isPosix()) {
        GTEST_SKIP() << "permission bits are POSIX's";
    }
    const fs::path dropBox = dir_ / "drop-box";
    fs::create_directories(dropBox);
    fs::permissions(dropBox, fs::perms::owner_write | fs::perms::owner_exec);
    std::error_code unreadable;
    const fs::directory_iterator listing(dropBox, unreadable);
    if (!unreadable) {
        fs::permissions(dropBox, fs::perms::owner_all);
        GTEST_SKIP() << "this user may read every directory (root)";
    }
    const SaveOutcome outcome = saveConfigJsonOutcome(dropBox / "config.json", withVersion(4));
    fs::permissions(dropBox, fs::perms::owner_all);
    EXPECT_EQ(outcome.failure, SaveFailure::Lock);
    EXPECT_TRUE(namesIn(dropBox).empty());
}

// Callers that gave up must leave no thread or descriptor each behind (POSIX: flock has no
// timeout, so a thread waits for them), and the one waiter that remains must let the lock go
// as soon as it gets it: nobody wants it any more.
TEST_F(UpdateTest, WaitsThatTimeOutLeaveOneWaiterThatLetsTheLockGo) {
    const long threadsBefore = platform::testing::threadCount();
    const long descriptorsBefore = platform::testing::openDescriptorCount();
    auto held = std::make_unique<platform::SaveLock>();
    ASSERT_EQ(held->acquire(path(), std::chrono::milliseconds(0)), 0u);
    const auto acquireFromAnotherThread = [this](std::chrono::milliseconds wait) {
        return std::async(std::launch::async,
                          [this, wait] {
                              platform::SaveLock other;
                              return other.acquire(path(), wait);
                          })
            .get();
    };
    for (int attempt = 0; attempt < 4; ++attempt) {
        EXPECT_TRUE(
            platform::isLockTimeout(acquireFromAnotherThread(std::chrono::milliseconds(50))));
    }
    // Windows waits in the kernel with a timeout: no thread, and handles are not counted.
    const bool counted = platform::testing::isPosix();
    if (counted) {
        EXPECT_LE(platform::testing::threadCount(), threadsBefore + 1);
        EXPECT_LE(platform::testing::openDescriptorCount(), descriptorsBefore + 2);  // + held's
    }
    held.reset();
    // Free again for everyone within the deadline: a waiter that kept the lock would refuse
    // every try, and the counts would not come back.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    platform::ErrorCode error = 1;
    while (std::chrono::steady_clock::now() < deadline &&
           (error = acquireFromAnotherThread(std::chrono::milliseconds(0))) != 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(error, 0u);
    while (counted && std::chrono::steady_clock::now() < deadline &&
           (platform::testing::threadCount() > threadsBefore ||
            platform::testing::openDescriptorCount() > descriptorsBefore)) {
        std::this_thread::yield();
    }
    if (counted) {
        EXPECT_EQ(platform::testing::threadCount(), threadsBefore);
        EXPECT_EQ(platform::testing::openDescriptorCount(), descriptorsBefore);
    }
}

// Several callers wait at once (POSIX: for one shared waiter): each gets the lock in turn,
// never two at a time.
TEST_F(UpdateTest, LockGoesToEveryWaitingCallerInTurn) {
    auto held = std::make_unique<platform::SaveLock>();
    ASSERT_EQ(held->acquire(path(), std::chrono::milliseconds(0)), 0u);
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::future<platform::ErrorCode>> callers;
    for (int caller = 0; caller < 3; ++caller) {
        callers.push_back(std::async(std::launch::async, [this, &inside, &overlaps] {
            platform::SaveLock lock;
            const platform::ErrorCode error = lock.acquire(path(), std::chrono::seconds(20));
            if (error == 0) {
                overlaps += inside.fetch_add(1) > 0 ? 1 : 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));  // hold it a while
                inside.fetch_sub(1);
            }
            return error;
        }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let them all wait
    held.reset();
    for (auto& caller : callers) {
        EXPECT_EQ(caller.get(), 0u);
    }
    EXPECT_EQ(overlaps.load(), 0);
}

// A file system that refuses flock (NFS without a lock manager, some FUSE file systems): saves
// and the quarantine alike go on without the lock, and the process says so once.
TEST_F(UpdateTest, FileSystemWithoutLocksSavesAndQuarantinesWithOneWarning) {
    if (!platform::testing::isPosix()) {
        GTEST_SKIP() << "flock is POSIX's";
    }
    for (const platform::ErrorCode refusal : {ENOLCK, EOPNOTSUPP, ENOSYS}) {
        SCOPED_TRACE(refusal);
        ScopedFault unsupported(Operation::LockCall, refusal, -1);
        EXPECT_TRUE(saveConfigJson(path(), withVersion(2)));
        Config config;
        EXPECT_TRUE(updateConfigJson(path(), config, [](Config& c) { c.version = 3; }));
        EXPECT_EQ(readFile(path()), documentOf(withVersion(3)));
        writeFile(path(), "[]");
        EXPECT_EQ(loadConfigJsonOutcome(path(), config), LoadOutcome::CorruptMovedAside);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    const Log entries = log();
    const auto warnings = std::count_if(entries.begin(), entries.end(), [](const auto& entry) {
        return entry.level == LogLevel::Warn &&
               entry.text.rfind("Could not lock config file ", 0) == 0;
    });
    EXPECT_EQ(warnings, 1);
    EXPECT_TRUE(recorder().saw(": " + platform::errorText(ENOLCK) +
                               "; saving without excluding other saves"));
}

// When another holder has the lock and the wait for it cannot even be made (no thread could be
// started), the quarantine must treat that as the holder's, not go on without the lock.
TEST_F(UpdateTest, QuarantineThatCannotWaitForAHolderLeavesTheFile) {
    if (!platform::testing::isPosix()) {
        GTEST_SKIP() << "only POSIX waits in a thread";
    }
    writeFile(path(), "[]");
    platform::SaveLock held;
    ASSERT_EQ(held.acquire(path(), std::chrono::milliseconds(0)), 0u);
    ScopedFault noThread(Operation::StartLockWait, 0);
    const LoadOutcome outcome = std::async(std::launch::async, [this] {
                                    Config config;
                                    return loadConfigJsonOutcome(path(), config);
                                }).get();
    EXPECT_EQ(outcome, LoadOutcome::CorruptLeftInPlace);
    EXPECT_EQ(platform::testing::injectedCount(Operation::StartLockWait), 1);
    EXPECT_EQ(readFile(path()), "[]");
    EXPECT_TRUE(recorder().saw("Could not move corrupt config aside: another save holds "));
}

// A save or update from inside an update's change (or anything else that holds the lock of the
// directory on this thread) would wait for itself (POSIX) or be let in and then overwritten by
// the outer save (Windows): it fails at once, and the outer update writes its change.
TEST_F(UpdateTest, SaveOrUpdateFromInsideAChangeFailsAtOnceAndTheOuterChangeIsWritten) {
    ASSERT_TRUE(saveConfigJson(path(), withVersion(1)));
    const fs::path sameDirectory = dir_ / "other.json";
    const fs::path otherDirectory = dir_ / "sub" / "config.json";
    std::vector<SaveFailure> inner;
    Config config;
    ASSERT_TRUE(updateConfigJson(path(), config, [&](Config& c) {
        c.detection.fftSize = 4096;
        Config nested = withVersion(8);
        nested.detection.fftSize = 8192;
        inner.push_back(saveConfigJsonOutcome(path(), nested).failure);
        inner.push_back(updateConfigJsonOutcome(path(), nested, [](Config&) {}).failure);
        inner.push_back(saveConfigJsonOutcome(sameDirectory, nested).failure);
        inner.push_back(saveConfigJsonOutcome(otherDirectory, nested).failure);  // another lock
    }));
    EXPECT_EQ(inner, (std::vector<SaveFailure>{SaveFailure::Reentered, SaveFailure::Reentered,
                                               SaveFailure::Reentered, SaveFailure::None}));
    Config expected = withVersion(1);
    expected.detection.fftSize = 4096;
    EXPECT_EQ(readFile(path()), documentOf(expected));
    EXPECT_FALSE(fs::exists(sameDirectory));
    const std::string reentered = "Could not save config: " + path().string() +
                                  " is being saved or updated by this thread already (a save "
                                  "from inside an update's change?)";
    const Log entries = log();
    EXPECT_EQ(std::count(entries.begin(), entries.end(),
                         testsupport::LogEntry{LogLevel::Error, reentered}),
              2);
    SaveOutcome outcome;
    outcome.failure = SaveFailure::Reentered;
    EXPECT_EQ(outcome.message(path()), "could not save " + path().string() +
                                           " from inside another save or update of its "
                                           "directory on the same thread");
}

// A load inside an update's change needs no lock to read, and may move a corrupt file aside
// under the lock that its own thread holds, rather than wait for itself.
TEST_F(UpdateTest, LoadFromInsideAChangeMovesACorruptFileAside) {
    ASSERT_TRUE(saveConfigJson(path(), withVersion(1)));
    writeFile(dir_ / "other.json", "{ truncated");
    LoadOutcome good = LoadOutcome::Unreadable;
    LoadOutcome corrupt = LoadOutcome::Unreadable;
    Config config;
    ASSERT_TRUE(updateConfigJson(path(), config, [&](Config& c) {
        Config loaded;
        good = loadConfigJsonOutcome(path(), loaded);
        corrupt = loadConfigJsonOutcome(dir_ / "other.json", loaded);
        c.version = 2;
    }));
    EXPECT_EQ(good, LoadOutcome::Read);
    EXPECT_EQ(corrupt, LoadOutcome::CorruptMovedAside);
    EXPECT_FALSE(fs::exists(dir_ / "other.json"));
    EXPECT_EQ(readFile(path()), documentOf(withVersion(2)));
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

// With no file the caller's record is the start: a first save keeps the caller's own defaults.
TEST_F(UpdateTest, UpdateOfAMissingFileSavesTheCallersRecordWithTheChange) {
    Config config;
    config.audio.bufferSizeMs = 20;  // the caller's own default
    const SaveOutcome outcome = updateConfigJsonOutcome(
        dir_ / "new" / "config.json", config, [](Config& c) { c.shownTrayNotification = true; });
    ASSERT_TRUE(outcome.ok()) << outcome.message(dir_ / "new" / "config.json");
    Config expected;
    expected.audio.bufferSizeMs = 20;
    expected.shownTrayNotification = true;
    EXPECT_EQ(readFile(dir_ / "new" / "config.json"), documentOf(expected));
    EXPECT_EQ(describe(config), describe(expected));
}

// In an update the file is the truth: a value that another process cleared (null in the file)
// stays cleared, although the caller's record still holds it; the caller gets the result back.
TEST_F(UpdateTest, UpdateTakesClearedValuesFromTheFileNotFromAStaleRecord) {
    Config stale;
    stale.audio.deviceId = L"old-device";
    stale.steamvr.customActionBinding = "/actions/old";
    stale.audio.bufferSizeMs = 20;
    ASSERT_TRUE(saveConfigJson(path(), stale));
    Config first = stale;
    ASSERT_TRUE(updateConfigJson(path(), first, [](Config& c) {
        c.audio.deviceId.clear();
        c.steamvr.customActionBinding.clear();
    }));

    Config second = stale;  // another process, which still holds the old values
    ASSERT_TRUE(
        updateConfigJson(path(), second, [](Config& c) { c.detection.sensitivity = 0.25f; }));
    Config expected = stale;
    expected.audio.deviceId.clear();
    expected.steamvr.customActionBinding.clear();
    expected.detection.sensitivity = 0.25f;
    EXPECT_EQ(readFile(path()), documentOf(expected));
    EXPECT_EQ(describe(second), describe(expected));
}

// An update changes what its change changes: a newer version's keys, a misspelt section and
// unknown keys inside the sections are written back as they were; a key the record has gets
// the record's value, also where the file held another type. A save writes the record alone.
TEST_F(UpdateTest, UpdateKeepsEveryMemberTheRecordHasNoFieldFor) {
    const std::string stored = R"({
        "audio": {"bufferSizeMs": 42, "gain": [1, 2.5, {"db": -3}], "deviceId": "dev"},
        "detection": {"fftSize": "4096", "window": "hann"},
        "stemvr": {"customActionBinding": "/actions/typo"},
        "training": 5,
        "future": {"nested": {"deeper": [true, null, "é"]}},
        "version": 3
    })";
    writeFile(path(), stored);
    Config config;
    config.detection.fftSize = 1024;  // the caller's stale value: not what the file says
    ASSERT_TRUE(updateConfigJson(path(), config, [](Config& c) { c.detection.minDurationMs = 5; }));

    nlohmann::json expected = nlohmann::json::parse(stored);
    Config record;
    record.version = 3;
    record.audio.bufferSizeMs = 42;
    record.audio.deviceId = L"dev";
    record.detection.minDurationMs = 5;  // fftSize "4096" is skipped: the default is written
    nlohmann::json written;
    to_json(written, record);
    for (const char* section : {"audio", "detection"}) {
        for (auto& [key, value] : written[section].items()) {
            expected[section][key] = value;
        }
    }
    expected["training"] = written["training"];  // not an object: replaced whole
    for (const char* key : {"steamvr", "shownTrayNotification", "version"}) {
        expected[key] = written[key];
    }
    EXPECT_EQ(readFile(path()), expected.dump(4));
    EXPECT_EQ(describe(config), describe(record));

    ASSERT_TRUE(saveConfigJson(path(), config));
    EXPECT_EQ(readFile(path()), documentOf(record));
}

// The merge that an update promises, done by hand: the document read, with the record's keys
// written into it (into a section that is an object one by one, elsewhere whole), as dump(4)
// writes it.
std::string mergedText(const std::string& stored, const Config& record) {
    nlohmann::json merged = nlohmann::json::parse(stored);
    const nlohmann::json written = record;
    for (const auto& [key, value] : written.items()) {
        if (value.is_object() && merged.contains(key) && merged[key].is_object()) {
            merged[key].update(value);
        } else {
            merged[key] = value;
        }
    }
    return merged.dump(4);
}

// A document that holds the record alone (plain) is written as a save writes the record, one
// with anything more through the merge; either way the bytes are the merge's and every member
// the record has no field for (at `kept`) is still there.
TEST_F(UpdateTest, UpdateWritesTheMergedDocumentWhicheverWayItIsWritten) {
    Config full;
    full.audio.deviceId = L"dev-\u00fc";
    full.steamvr.customActionBinding = "/actions/a\"b";
    full.training.lastTrainedTimestamp = TimePoint(std::chrono::seconds(1700000000));
    full.detection.sensitivity = 0.3f;
    struct Case {
        const char* name;
        std::string stored;
        bool plain;
        const char* kept;  // a JSON pointer to a member the record has no field for, or ""
    };
    const Case cases[] = {
        {"saved default record", documentOf(Config{}), true, ""},
        {"saved record, every value set", documentOf(full), true, ""},
        {"empty object", "{}", true, ""},
        {"some keys, nulls where they are written",
         R"({"version":2,"audio":{"deviceId":null},"training":{"lastTrainedTimestamp":null}})",
         true, ""},
        {"escapes and UTF-8 in a string", R"({"training": {"dataFile": "a\"b\\c\u0001é"}})", true,
         ""},
        {"text under an integer key", R"({"detection": {"fftSize": "4096"}})", false, ""},
        {"integer where a double is written", R"({"detection": {"sensitivity": 1}})", false, ""},
        {"null where null is not written", R"({"version": null})", false, ""},
        {"section that is not an object", R"({"training": 5})", false, ""},
        {"unknown top-level key", R"({"future": [1, {"a": null}], "version": 2})", false,
         "/future"},
        {"unknown key in a section", R"({"audio": {"gain": 3, "bufferSizeMs": 7}})", false,
         "/audio/gain"},
        {"misspelt section", R"({"stemvr": {"customActionBinding": "/x"}})", false, "/stemvr"},
        {"key of another section", R"({"audio": {"fftSize": 1}})", false, "/audio/fftSize"},
        {"a section's key at the top level", R"({"fftSize": 1})", false, "/fftSize"},
        {"a section inside a section", R"({"audio": {"audio": {}}})", false, "/audio/audio"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path(), c.stored);
        EXPECT_EQ(detail::holdsOnlyRecordKeys(nlohmann::json::parse(c.stored)), c.plain);
        Config config;
        ASSERT_TRUE(
            updateConfigJson(path(), config, [](Config& r) { r.detection.fftSize = 1024; }));
        const std::string written = readFile(path());
        EXPECT_EQ(written, mergedText(c.stored, config));
        if (c.plain) {
            EXPECT_EQ(written, documentOf(config));
        }
        if (*c.kept != '\0') {
            const nlohmann::json::json_pointer kept(c.kept);
            EXPECT_EQ(nlohmann::json::parse(written).at(kept),
                      nlohmann::json::parse(c.stored).at(kept));
        }
    }
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
        Config config = withVersion(4);
        bool changed = false;
        const SaveOutcome outcome =
            updateConfigJsonOutcome(path(), config, [&changed](Config&) { changed = true; });
        platform::testing::clearFaults();
        EXPECT_EQ(outcome.failure, SaveFailure::ReadExisting);
        EXPECT_EQ(outcome.load, c.found);
        EXPECT_FALSE(changed);
        EXPECT_EQ(describe(config), describe(withVersion(4)));  // the caller's record is kept
        EXPECT_TRUE(recorder().saw("Config not updated: could not read " + path().string()));
        EXPECT_EQ(log().back().level, LogLevel::Error);
        EXPECT_EQ(readFile(path()), stored);
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    }
}

// A person's edit with a mistake, saved while the driver updates: the update must neither move
// it aside nor write the record over it, and must say where the mistake is.
TEST_F(UpdateTest, UpdateNeverMovesOrOverwritesAnUnusableDocument) {
    const struct {
        const char* text;
        const char* place;  // of the first mistake, in the outcome's problem
    } cases[] = {
        {"{\n    \"detection\": {\"sensitivity\": 0.5,}\n    \"myKey\": 1\n}", "line 2"},
        {"{ not json", "line 1"},
        {"[1, 2]", "line 1"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        writeFile(path(), c.text);
        recorder().clear();
        Config config = withVersion(7);
        bool changed = false;
        const SaveOutcome outcome =
            updateConfigJsonOutcome(path(), config, [&changed](Config&) { changed = true; });
        EXPECT_EQ(outcome.failure, SaveFailure::Unusable);
        EXPECT_NE(outcome.problem.find(c.place), std::string::npos) << outcome.problem;
        EXPECT_NE(outcome.message(path()).find("it was left as it is"), std::string::npos);
        EXPECT_FALSE(changed);
        EXPECT_EQ(describe(config), describe(withVersion(7)));
        EXPECT_EQ(readFile(path()), c.text);
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
        EXPECT_TRUE(
            recorder().saw("Config not updated: " + path().string() + " is not a usable document"));
        EXPECT_EQ(log().back().level, LogLevel::Error);
    }
}

// A program writing the file in place is halfway when the update reads it: the update reads
// again and changes the finished document, keeping what that program wrote.
TEST_F(UpdateTest, UpdateWaitsForADocumentThatIsStillBeingWritten) {
    nlohmann::json finished = nlohmann::json(withVersion(4));
    finished["trayOnly"] = "kept";
    const std::string complete = finished.dump(4);
    writeFile(path(), complete.substr(0, complete.size() / 2));
    // Before the second read the writer has finished.
    platform::testing::runBeforeNext(Operation::ReadFile, [this, complete] {
        platform::testing::runBeforeNext(Operation::ReadFile,
                                         [this, complete] { writeFile(path(), complete); });
    });
    Config config;
    const SaveOutcome outcome =
        updateConfigJsonOutcome(path(), config, [](Config& c) { c.audio.bufferSizeMs = 30; });
    platform::testing::clearFaults();
    ASSERT_TRUE(outcome.ok()) << outcome.message(path());
    const nlohmann::json written = nlohmann::json::parse(readFile(path()));
    EXPECT_EQ(written.at("version"), 4);
    EXPECT_EQ(written.at("audio").at("bufferSizeMs"), 30);
    EXPECT_EQ(written.at("trayOnly"), "kept");
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
}

// The caller's own defaults: a key the file lacks, or a timestamp it clears with null, gives
// the caller's default, and the update writes that, not the library's default.
TEST_F(UpdateTest, KeysTheFileLacksGiveTheCallersDefaults) {
    Config defaults;
    defaults.audio.bufferSizeMs = 20;
    defaults.training.lastTrainedTimestamp =
        std::chrono::time_point_cast<Ticks>(std::chrono::system_clock::from_time_t(1'700'000'000));
    writeFile(path(), R"({"version": 3, "training": {"lastTrainedTimestamp": null}})");
    Config config = defaults;
    ASSERT_TRUE(updateConfigJson(path(), config, defaults, [](Config& c) { c.version = 4; }));
    const nlohmann::json written = nlohmann::json::parse(readFile(path()));
    EXPECT_EQ(written.at("audio").at("bufferSizeMs"), 20);
    EXPECT_EQ(written.at("training").at("lastTrainedTimestamp"), 1'700'000'000);
    EXPECT_EQ(written.at("version"), 4);
    EXPECT_EQ(config.audio.bufferSizeMs, 20);
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

// The judge of the file sees the bytes the update read (never a missing file), under the lock
// and before anything is parsed or moved; when it refuses, nothing is written or moved and
// nothing more is logged; when it consents, the update goes ahead.
TEST_F(UpdateTest, JudgeOfTheFileIsObeyed) {
    std::vector<std::string> judged;
    bool consent = true;
    const auto judge = [&](std::string_view text) {
        judged.emplace_back(text);
        return consent;
    };
    Config config;
    ASSERT_TRUE(updateConfigJsonOutcome(path(), config, judge, [](Config& c) { c.version = 2; }));
    EXPECT_TRUE(judged.empty());
    consent = false;
    for (const std::string& content : {documentOf(withVersion(5)), std::string("{ bad")}) {
        writeFile(path(), content);
        recorder().clear();
        bool changed = false;
        const SaveOutcome outcome =
            updateConfigJsonOutcome(path(), config, judge, [&changed](Config&) { changed = true; });
        EXPECT_EQ(outcome.failure, SaveFailure::Refused);
        EXPECT_EQ(outcome.message(path()),
                  "the update of " + path().string() + " was refused; the file was left as it is");
        EXPECT_EQ(judged.back(), content);
        EXPECT_FALSE(changed);
        EXPECT_TRUE(log().empty());
        EXPECT_EQ(readFile(path()), content);
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
        EXPECT_EQ(describe(config), describe(withVersion(2)));
    }
    consent = true;  // the judge consents; the update still leaves an unusable file alone
    EXPECT_EQ(
        updateConfigJsonOutcome(path(), config, judge, [](Config& c) { c.version = 3; }).failure,
        SaveFailure::Unusable);
    EXPECT_EQ(readFile(path()), "{ bad");
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
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
// The document saved meanwhile may even have the corrupt one's length.
TEST_F(UpdateTest, QuarantineNeverTakesADocumentSavedAfterTheRead) {
    const std::string saved = documentOf(withVersion(11));
    for (const std::string& corrupt :
         {std::string("{ truncated"), std::string(saved.size(), '{')}) {
        SCOPED_TRACE(corrupt.size());
        recorder().clear();
        writeFile(path(), corrupt);
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
}

// A corrupt file that another program rewrites each time the load is about to move it aside is
// read three times, then left where it is, rather than chased for ever.
TEST_F(UpdateTest, CorruptFileThatKeepsChangingIsReadThreeTimesThenLeft) {
    writeFile(path(), "{ 0");
    int rewrites = 0;
    std::function<void()> rewrite;
    rewrite = [&] {
        writeFile(path(), "{ " + std::to_string(++rewrites));
        if (rewrites < 10) {
            platform::testing::runBeforeNext(Operation::AcquireLock, rewrite);
        }
    };
    platform::testing::runBeforeNext(Operation::AcquireLock, rewrite);
    Config config;
    EXPECT_EQ(loadConfigJsonOutcome(path(), config), LoadOutcome::CorruptLeftInPlace);
    platform::testing::clearFaults();
    EXPECT_EQ(rewrites, 3);
    EXPECT_EQ(log().back(), (testsupport::LogEntry{LogLevel::Error,
                                                   "Could not move corrupt config aside: it keeps "
                                                   "changing: " +
                                                       path().string()}));
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
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
