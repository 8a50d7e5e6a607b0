// Hunts faults in the corrupt-file quarantine: a backup under the wrong name (another file's
// name, a stamp in UTC rather than local time: run also with TZ far from UTC) or in the wrong
// place, a backup that replaces another made within the same second, pruning that removes the
// wrong files (the backup just made, even when it sorts lowest; a newest backup; another
// file's backups; a name that merely resembles a backup, one that differs in letter case) or
// keeps too many, and a refused move that loses the file or is not reported.
#include <chrono>
#include <ctime>
#include <iomanip>
#include <set>

#include <tarvik/config/ConfigFile.h>
#include "platform/testing/OsTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvik::driver {
namespace {

using common::LogLevel;
using testsupport::Log;
using testsupport::LogEntry;
using testsupport::namesIn;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

const std::string kPrefix = "config.json.corrupted.";
const std::string kBackedUp = "Backed up corrupt config to: ";

// A backup name from 2000-01-01, older than any made by the test.
std::string old(int second) {
    return kPrefix + "20000101-00000" + std::to_string(second);
}

// Read from the clock the quarantine reads: std::time() may use a coarser clock that lags it,
// so that near a second boundary the backup's stamp could be later than both readings here.
std::string stampNow() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::ostringstream stamp;
    stamp << std::put_time(std::localtime(&now), "%Y%m%d-%H%M%S");
    return stamp.str();
}

class QuarantineTest : public testsupport::ScratchTest {
protected:
    fs::path path() const { return dir_ / "config.json"; }

    void plantOldBackups(int count) const {
        for (int second = 1; second <= count; ++second) {
            writeFile(dir_ / old(second), "old");
        }
    }

    // The file name of the backup that the single WARN line of a successful move names.
    std::string backupNameFromLog() const {
        const Log entries = log();
        if (entries.size() != 1 || entries[0].level != LogLevel::Warn ||
            entries[0].text.rfind(kBackedUp, 0) != 0) {
            ADD_FAILURE() << "expected one backup message, got " << entries.size() << " entries";
            return {};
        }
        return fs::path(entries[0].text.substr(kBackedUp.size())).filename().string();
    }
};

TEST_F(QuarantineTest, MissingFileChangesNothingAndLogsNothing) {
    backupCorruptConfig(path());
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(namesIn(dir_).empty());
}

TEST_F(QuarantineTest, CorruptFileIsMovedUnderItsOwnNameAndTheLocalTimeStamp) {
    for (const std::string file : {"config.json", "settings.json"}) {
        SCOPED_TRACE(file);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        recorder().clear();
        writeFile(dir_ / file, "bad");
        const std::string before = stampNow();
        backupCorruptConfig(dir_ / file);
        const std::string after = stampNow();

        const std::vector<std::string> names = namesIn(dir_);
        ASSERT_EQ(names.size(), 1u);
        const std::string prefix = file + ".corrupted.";
        EXPECT_TRUE(names[0] == prefix + before || names[0] == prefix + after) << names[0];
        EXPECT_EQ(readFile(dir_ / names[0]), "bad");
        EXPECT_EQ(log(), (Log{{LogLevel::Warn, kBackedUp + (dir_ / names[0]).string()}}));
    }
}

// Repairing another file in the directory must not count, let alone remove, config.json's
// backups; its own are pruned to five.
TEST_F(QuarantineTest, AnotherFilesQuarantinePrunesOnlyItsOwnBackups) {
    plantOldBackups(5);
    for (int second = 1; second <= 5; ++second) {
        writeFile(dir_ / ("scratch.json.corrupted.20000101-00000" + std::to_string(second)), "old");
    }
    writeFile(dir_ / "scratch.json", "bad");
    backupCorruptConfig(dir_ / "scratch.json");

    const std::string backup = backupNameFromLog();
    EXPECT_EQ(backup.rfind("scratch.json.corrupted.", 0), 0u) << backup;
    const std::vector<std::string> names = namesIn(dir_);
    EXPECT_EQ(
        std::set<std::string>(names.begin(), names.end()),
        (std::set<std::string>{
            old(1), old(2), old(3), old(4), old(5), "scratch.json.corrupted.20000101-000002",
            "scratch.json.corrupted.20000101-000003", "scratch.json.corrupted.20000101-000004",
            "scratch.json.corrupted.20000101-000005", backup}));
}

// A backup never replaces another: quarantines within one second each keep their own file,
// named so that they still sort with their second, in the order in which they were made.
TEST_F(QuarantineTest, QuarantinesWithinOneSecondEachKeepTheirOwnBackup) {
    // Three moves take microseconds; retry in the rare case that a second boundary fell between.
    for (int attempt = 0; attempt < 5; ++attempt) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        recorder().clear();
        const std::string before = stampNow();
        for (const char* content : {"first", "second", "third"}) {
            writeFile(path(), content);
            backupCorruptConfig(path());
        }
        if (stampNow() != before) {
            continue;
        }
        const std::string base = kPrefix + before;
        EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{base, base + "-001", base + "-002"}));
        EXPECT_EQ(readFile(dir_ / base), "first");
        EXPECT_EQ(readFile(dir_ / (base + "-001")), "second");
        EXPECT_EQ(readFile(dir_ / (base + "-002")), "third");
        EXPECT_EQ(log(), (Log{{LogLevel::Warn, kBackedUp + (dir_ / base).string()},
                              {LogLevel::Warn, kBackedUp + (dir_ / (base + "-001")).string()},
                              {LogLevel::Warn, kBackedUp + (dir_ / (base + "-002")).string()}}));
        return;
    }
    FAIL() << "never managed three quarantines within one second";
}

// After the clock went back (a fall-back to standard time, a new time zone, backups stamped by
// a clock that ran ahead) the new backup sorts below the others; it may hold the user's only
// copy, so it must not be the one that pruning removes.
TEST_F(QuarantineTest, NewBackupSurvivesPruningBesideBackupsStampedAhead) {
    std::vector<std::string> ahead;
    for (int second = 1; second <= 5; ++second) {
        ahead.push_back(kPrefix + "20991231-23595" + std::to_string(second));
        writeFile(dir_ / ahead.back(), "ahead");
    }
    writeFile(path(), "bad");
    backupCorruptConfig(path());

    const std::string backup = backupNameFromLog();
    EXPECT_EQ(readFile(dir_ / backup), "bad");
    const std::vector<std::string> names = namesIn(dir_);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{backup, ahead[1], ahead[2], ahead[3], ahead[4]}));
}

TEST_F(QuarantineTest, RefusedMoveIsLoggedAndLeavesEverythingInPlace) {
    writeFile(path(), "bad");
    plantOldBackups(6);
    const std::vector<std::string> namesBefore = namesIn(dir_);
    platform::testing::ScopedFault fault(platform::testing::Operation::MoveAside, 13);
    const std::string before = stampNow();
    backupCorruptConfig(path());
    const std::string after = stampNow();

    const auto refusal = [&](const std::string& stamp) {
        return LogEntry{LogLevel::Error, "Could not rename corrupt config to " +
                                             (dir_ / (kPrefix + stamp)).string() + ": " +
                                             std::system_category().message(13)};
    };
    const Log entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0] == refusal(before) || entries[0] == refusal(after))
        << ::testing::PrintToString(entries[0]);
    EXPECT_EQ(namesIn(dir_), namesBefore);  // nothing moved, nothing pruned
    EXPECT_EQ(readFile(path()), "bad");
}

TEST_F(QuarantineTest, BareFileNameIsBackedUpInTheCurrentDirectoryWithoutPruning) {
    plantOldBackups(6);
    writeFile(path(), "bad");
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    backupCorruptConfig("config.json");
    fs::current_path(previous);

    const std::string backup = backupNameFromLog();
    EXPECT_EQ(log()[0].text, kBackedUp + backup);  // a relative name, as the move used it
    EXPECT_EQ(namesIn(dir_).size(), 7u);
    EXPECT_EQ(readFile(dir_ / backup), "bad");
}

struct PruneCase {
    const char* name;
    std::vector<std::string> existing;
    std::vector<std::string> survivors;  // of `existing`; the new backup always survives
    bool posixOnly;
};

void PrintTo(const PruneCase& row, std::ostream* out) {
    *out << row.name;
}

class QuarantinePruneTest : public QuarantineTest,
                            public ::testing::WithParamInterface<PruneCase> {};

TEST_P(QuarantinePruneTest, KeepsTheFiveGreatestBackupNames) {
    if (GetParam().posixOnly && !platform::testing::isPosix()) {
        GTEST_SKIP() << "Windows drops a trailing dot from file names";
    }
    for (const std::string& name : GetParam().existing) {
        writeFile(dir_ / name, "old");
    }
    writeFile(path(), "bad");
    backupCorruptConfig(path());

    std::set<std::string> expected(GetParam().survivors.begin(), GetParam().survivors.end());
    expected.insert(backupNameFromLog());
    const std::vector<std::string> names = namesIn(dir_);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
}

const PruneCase kPruneCases[] = {
    {"FiveBackupsLeaveRoomForOnlyFourOld",
     {old(1), old(2), old(3), old(4), old(5)},
     {old(2), old(3), old(4), old(5)},
     false},
    {"FewerThanSixAreAllKept", {old(1), old(2), old(3)}, {old(1), old(2), old(3)}, false},
    {"LetterSuffixCountsAndSortsAboveStamps",
     {old(1), old(2), old(3), old(4), old(5), kPrefix + "zzz"},
     {kPrefix + "zzz", old(3), old(4), old(5)},
     false},
    {"ExactPrefixIsTheFirstToGo",
     {kPrefix, old(1), old(2), old(3), old(4)},
     {old(1), old(2), old(3), old(4)},
     true},
    {"OtherCaseAndShorterNamesAreNeverBackups",
     {old(1), old(2), old(3), old(4), old(5), "CONFIG.JSON.CORRUPTED.20000101-000000",
      "Config.json.corrupted.zzz", "config.json.corrupted"},
     {old(2), old(3), old(4), old(5), "CONFIG.JSON.CORRUPTED.20000101-000000",
      "Config.json.corrupted.zzz", "config.json.corrupted"},
     false},
};

INSTANTIATE_TEST_SUITE_P(Directories, QuarantinePruneTest, ::testing::ValuesIn(kPruneCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvik::driver
