// Hunts faults in the atomic save: a document whose bytes drift from the agreed form, a failure
// that is reported as success or with the wrong message, a temporary file left behind or a
// target damaged by a failed save, a write redirected through a planted symbolic link, a
// replaced file that loses its permission bits, a leftover temporary file that is written
// through (into a file it is hard-linked to, or in place of the target) or that blocks the
// save, and a path naming no file that creates a directory before it fails.
#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"
#include "platform/testing/OsTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvik::driver {
namespace {

using platform::testing::Operation;
using platform::testing::ScopedFault;
using testsupport::Log;
using testsupport::namesIn;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

using common::LogLevel;
constexpr LogLevel kError = LogLevel::Error;

const char kDefaultDocument[] = R"({
    "audio": {
        "bufferSizeMs": 10,
        "deviceId": null,
        "deviceNamePattern": "Beyond"
    },
    "detection": {
        "cooldownMs": 300,
        "fftSize": 2048,
        "minDurationMs": 300,
        "sensitivity": 0.699999988079071
    },
    "shownTrayNotification": false,
    "steamvr": {
        "customActionBinding": null,
        "dashboardClickEnabled": true
    },
    "training": {
        "dataFile": "training_data.bin",
        "lastTrainedTimestamp": null
    },
    "version": 1
})";

class SaveTest : public testsupport::ScratchTest {
protected:
    fs::path target() const { return dir_ / "config.json"; }
    fs::path temp() const { return dir_ / "config.json.tmp"; }
};

TEST_F(SaveTest, DefaultRecordIsWrittenByteForByte) {
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(readFile(target()), kDefaultDocument);
    EXPECT_TRUE(log().empty());
}

TEST_F(SaveTest, FirstSaveCreatesTheDirectoryChain) {
    const fs::path deep = dir_ / "a" / "b" / "c" / "config.json";
    ASSERT_TRUE(saveConfigJson(deep, Config{}));
    EXPECT_EQ(namesIn(deep.parent_path()), std::vector<std::string>{"config.json"});
    // A relative path whose one missing directory lies in the working directory: its new
    // entry is made durable in ".", the empty parent of "sub".
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    const bool relativeSaved = saveConfigJson(fs::path("sub") / "config.json", Config{});
    fs::current_path(previous);
    EXPECT_TRUE(relativeSaved);
    EXPECT_EQ(readFile(dir_ / "sub" / "config.json"), kDefaultDocument);
    EXPECT_TRUE(log().empty());
}

// A new directory's entry in its parent must be durable before anything is written into it,
// or a power cut could take the saved file with the directory.
// A parent that is a regular file cannot be a directory: reported as the directory that could
// not be created, not as a lock that could not be had.
TEST_F(SaveTest, ParentThatIsAFileIsTheDirectoryThatCannotBeCreated) {
    writeFile(dir_ / "plain", "not a directory");
    for (const fs::path& path :
         {dir_ / "plain" / "config.json", dir_ / "plain" / "sub" / "config.json"}) {
        SCOPED_TRACE(path.string());
        recorder().clear();
        const SaveOutcome outcome = saveConfigJsonOutcome(path, Config{});
        EXPECT_EQ(outcome.failure, SaveFailure::CreateDirectory);
        const Log entries = log();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].level, kError);
        EXPECT_EQ(entries[0].text.rfind("Could not create config directory: ", 0), 0u)
            << entries[0].text;
        EXPECT_EQ(readFile(dir_ / "plain"), "not a directory");
    }
}

TEST_F(SaveTest, NewDirectoriesAreSyncedBeforeTheFileIsWritten) {
    const fs::path deep = dir_ / "a" / "b" / "config.json";
    ScopedFault fault(Operation::SyncDirectory, 5);
    EXPECT_FALSE(saveConfigJson(deep, Config{}));
    EXPECT_EQ(
        log(),
        (Log{{kError, "Could not sync config directory: " + std::system_category().message(5)}}));
    EXPECT_TRUE(namesIn(deep.parent_path()).empty());
}

// A program that the host starts while a save is under way must not inherit the temporary
// file (it would keep it open, and on Windows keep it from being swapped) or the lock.
TEST_F(SaveTest, SaveHoldsNothingThatAStartedProgramWouldInherit) {
    platform::testing::OpenDescriptors temporary;
    platform::testing::OpenDescriptors directory;
    platform::testing::runBeforeNext(Operation::WriteTemp, [&] {
        temporary = platform::testing::descriptorsOpenOn(temp());
        directory = platform::testing::descriptorsOpenOn(dir_);
    });
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    if (temporary.open < 0) {
        GTEST_SKIP() << "this platform cannot list a process's descriptors";
    }
    EXPECT_EQ(temporary.open, 1);
    EXPECT_EQ(temporary.inheritable, 0);
    EXPECT_GE(directory.open, 1);  // the lock
    EXPECT_EQ(directory.inheritable, 0);
}

TEST_F(SaveTest, SecondSaveReplacesTheTargetAndLeavesNoTemporaryFile) {
    Config first;
    first.detection.sensitivity = 0.3f;
    ASSERT_TRUE(saveConfigJson(target(), first));
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(readFile(target()), kDefaultDocument);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
}

TEST_F(SaveTest, OrphanTemporaryFileIsOverwrittenFromItsStartAndConsumed) {
    writeFile(temp(), std::string(4096, 'x'));  // longer than the document
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(readFile(target()), kDefaultDocument);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
}

TEST_F(SaveTest, BareFileNameIsRefusedAndNothingIsCreated) {
    const fs::path bare = "tarvik_bare_" + dir_.filename().string() + ".json";
    fs::path bareTemp = bare;
    bareTemp += ".tmp";
    EXPECT_FALSE(saveConfigJson(bare, Config{}));
    // The error text after the prefix is the system's and not fixed.
    const std::string prefix = "Could not create config directory: ";
    const Log entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, kError);
    EXPECT_EQ(entries[0].text.rfind(prefix, 0), 0u);
    EXPECT_GT(entries[0].text.size(), prefix.size());
    EXPECT_FALSE(fs::exists(bare));
    EXPECT_FALSE(fs::exists(bareTemp));
}

TEST_F(SaveTest, DirectoryAtTemporaryNameFailsTheOpenAndKeepsTheTarget) {
    writeFile(target(), "old");
    fs::create_directory(temp());
    EXPECT_FALSE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(log(), (Log{{kError, "Could not open temp config file: " + temp().string()}}));
    EXPECT_EQ(readFile(target()), "old");
    EXPECT_TRUE(fs::is_directory(temp()));
}

TEST_F(SaveTest, SymbolicLinkAtTemporaryNameIsNotFollowed) {
    if (!platform::testing::isPosix()) {
        GTEST_SKIP() << "symbolic links need privileges on Windows";
    }
    const fs::path victim = dir_ / "victim";
    writeFile(victim, "precious");
    fs::create_symlink(victim, temp());
    EXPECT_FALSE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(log(), (Log{{kError, "Could not open temp config file: " + temp().string()}}));
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_FALSE(fs::exists(target()));
}

// A leftover temporary file is replaced, never written through: truncating it in place would
// write the document into whatever file it is hard-linked to.
TEST_F(SaveTest, LeftoverHardLinkedToAnotherFileLeavesThatFileAlone) {
    writeFile(target(), "old");
    writeFile(dir_ / "notes.txt", "notes");
    fs::create_hard_link(dir_ / "notes.txt", temp());
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(readFile(dir_ / "notes.txt"), "notes");
    EXPECT_EQ(readFile(target()), kDefaultDocument);
    EXPECT_EQ(namesIn(dir_), (std::vector<std::string>{"config.json", "notes.txt"}));
}

// Hard-linked to the target itself, a reused leftover would have the save write the target in
// place (a crash mid-write leaves it damaged) and the final rename do nothing, leaving ".tmp".
TEST_F(SaveTest, LeftoverHardLinkedToTheTargetIsReplacedNotWrittenInPlace) {
    writeFile(target(), "old");
    fs::create_hard_link(target(), temp());
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(readFile(target()), kDefaultDocument);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    EXPECT_EQ(fs::hard_link_count(target()), 1u);
}

// A path that names a directory rather than a file is refused before anything is created.
TEST_F(SaveTest, PathThatNamesNoFileIsRefusedBeforeAnythingIsCreated) {
    for (const fs::path& path : {dir_ / "sub" / "", dir_ / "sub" / ".", dir_ / "sub" / ".."}) {
        recorder().clear();
        EXPECT_FALSE(saveConfigJson(path, Config{}));
        EXPECT_EQ(
            log(),
            (Log{{kError, "Could not save config: the path names no file: " + path.string()}}));
        EXPECT_TRUE(namesIn(dir_).empty()) << path;
    }
}

// A failed write, flush to disk or close of the temporary file: no message, temp removed.
class SaveTempFailureTest : public SaveTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(SaveTempFailureTest, FailsSilentlyRemovesTempAndKeepsTarget) {
    writeFile(target(), "old document");
    ScopedFault fault(GetParam(), 5);
    EXPECT_FALSE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(platform::testing::injectedCount(GetParam()), 1);
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(readFile(target()), "old document");
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
}

INSTANTIATE_TEST_SUITE_P(Operations, SaveTempFailureTest,
                         ::testing::Values(Operation::WriteTemp, Operation::SyncTemp,
                                           Operation::CloseTemp),
                         [](const auto& info) {
                             return std::string(info.param == Operation::WriteTemp  ? "Write"
                                                : info.param == Operation::SyncTemp ? "Sync"
                                                                                    : "Close");
                         });

// An error number above INT32_MAX must still print unsigned. Each platform names its own call
// and error number: Windows' texts are the ones other tools look for, POSIX has no ReplaceFileW.
constexpr platform::ErrorCode kLargeCode = 0x80070005u;

TEST_F(SaveTest, FailedReplaceIsLoggedWithTheNumberAndRemovesTemp) {
    writeFile(target(), "old document");
    ScopedFault fault(Operation::Replace, kLargeCode);
    EXPECT_FALSE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(log(), (Log{{kError, platform::testing::isPosix()
                                       ? "rename failed (errno=2147942405)"
                                       : "ReplaceFileW failed (GetLastError=2147942405)"}}));
    EXPECT_EQ(readFile(target()), "old document");
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
}

TEST_F(SaveTest, FailedFirstMoveIsLoggedWithTheNumberAndRemovesTemp) {
    ScopedFault fault(Operation::MoveIntoPlace, 13);
    EXPECT_FALSE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(log(), (Log{{kError, platform::testing::isPosix()
                                       ? "rename failed on first save (errno=13)"
                                       : "MoveFileExW failed on first save (GetLastError=13)"}}));
    EXPECT_TRUE(namesIn(dir_).empty());
}

TEST_F(SaveTest, FailedDirectorySyncIsReportedAsFailure) {
    ScopedFault fault(Operation::SyncDirectory, 5);
    EXPECT_FALSE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(
        log(),
        (Log{{kError, "Could not sync config directory: " + std::system_category().message(5)}}));
    EXPECT_EQ(readFile(target()), kDefaultDocument);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
}

TEST_F(SaveTest, InvalidUtf8InNarrowFieldThrowsBeforeTouchingTheDisk) {
    Config config;
    config.training.dataFile = "data\xFF.bin";
    const fs::path path = dir_ / "new" / "config.json";
    try {
        (void)saveConfigJson(path, config);
        ADD_FAILURE() << "no exception";
    } catch (const nlohmann::json::type_error& error) {
        EXPECT_EQ(error.id, 316);
    }
    EXPECT_FALSE(fs::exists(path.parent_path()));
}

// Permission bits: POSIX only.
class SavePermissionTest : public SaveTest {
protected:
    void SetUp() override {
        if (!platform::testing::isPosix()) {
            GTEST_SKIP() << "no permission bits on Windows";
        }
        SaveTest::SetUp();
        previousMask_ = platform::testing::setUmask(027);
    }
    void TearDown() override {
        if (platform::testing::isPosix()) {
            platform::testing::setUmask(previousMask_);
            SaveTest::TearDown();
        }
    }
    fs::perms permsOf(const fs::path& path) const {
        return fs::status(path).permissions() & fs::perms::mask;
    }
    unsigned previousMask_ = 0;
};

TEST_F(SavePermissionTest, ReplacedTargetKeepsItsPermissionBits) {
    writeFile(target(), "old");
    const fs::perms chosen =
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read;
    fs::permissions(target(), chosen);
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(permsOf(target()), chosen);
}

TEST_F(SavePermissionTest, FirstSaveGetsTheCreationModeLessTheUmask) {
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(permsOf(target()), static_cast<fs::perms>(0666 & ~027));
}

TEST_F(SavePermissionTest, FirstSaveOverAnOrphanGetsTheCreationModeNotTheOrphans) {
    writeFile(temp(), "orphan");
    fs::permissions(temp(), fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(permsOf(target()), static_cast<fs::perms>(0666 & ~027));
}

// A leftover of an interrupted save over a read-only target is read-only itself; one planted
// by another user belongs to them. Reused, it would block every later save of a non-root user,
// or give the target its owner. It is replaced by a new file of the saving user.
TEST_F(SavePermissionTest, ReadOnlyLeftoverOfAnotherUserIsReplaced) {
    writeFile(target(), "old");
    const fs::perms targetPerms = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions(target(), targetPerms);
    writeFile(temp(), "orphan");
    (void)platform::testing::giveToNobody(temp());  // possible only as root
    fs::permissions(temp(), fs::perms::owner_read | fs::perms::group_read);
    ASSERT_TRUE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(readFile(target()), kDefaultDocument);
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    EXPECT_EQ(platform::testing::ownerOf(target()), platform::testing::ownerOf(dir_));
    EXPECT_EQ(permsOf(target()), targetPerms);
}

// A symbolic link or FIFO planted at the temporary name is refused and stays, also when the
// target exists (where the save copies the target's permission bits).
TEST_F(SavePermissionTest, SpecialFileAtTemporaryNameIsRefusedAndLeftInPlace) {
    writeFile(target(), "old");
    writeFile(dir_ / "victim", "precious");
    fs::create_symlink(dir_ / "victim", temp());
    EXPECT_FALSE(saveConfigJson(target(), Config{}));
    EXPECT_TRUE(fs::is_symlink(temp()));
    EXPECT_EQ(readFile(dir_ / "victim"), "precious");
    fs::remove(temp());
    ASSERT_TRUE(platform::testing::makeFifo(temp()));
    EXPECT_FALSE(saveConfigJson(target(), Config{}));
    EXPECT_EQ(fs::status(temp()).type(), fs::file_type::fifo);
    EXPECT_EQ(readFile(target()), "old");
    const std::string refused = "Could not open temp config file: " + temp().string();
    EXPECT_EQ(log(), (Log{{kError, refused}, {kError, refused}}));
}

// The self-test's scratch directory lies in a shared directory: even with a umask that lets
// everyone in, it must never exist with other bits than the owner's.
TEST_F(SavePermissionTest, ClaimedScratchDirectoryIsCreatedPrivateWhateverTheUmask) {
    platform::testing::setUmask(0);
    const fs::path scratch = dir_ / "scratch";
    EXPECT_EQ(platform::claimPrivateDirectory(scratch), "");
    EXPECT_TRUE(fs::is_directory(scratch));
    EXPECT_EQ(permsOf(scratch), fs::perms::owner_all);

    const fs::path planted = dir_ / "planted";
    fs::create_directory_symlink(scratch, planted);
    EXPECT_NE(platform::claimPrivateDirectory(planted), "");
}

}  // namespace
}  // namespace tarvik::driver
