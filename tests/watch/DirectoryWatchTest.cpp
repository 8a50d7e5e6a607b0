// The OS side of the watcher alone (platform::DirectoryWatch) against the real file system, on
// Linux and under Wine. Hunts a watch that goes deaf: a directory replaced without any
// notification on it (its parent renamed away and the tree made again, a symbolic link to it
// pointed elsewhere, the watched directory itself renamed, which a Windows handle follows), a
// move of the directory or a lost queue of notifications that is filtered away as if it
// concerned another file, a directory that may not be listed taken for a missing one (the
// watcher then never looks at the file), and a file named in its 8.3 form whose notifications,
// which carry the long name, are all filtered away.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>

#include "platform/DirectoryWatch.h"
#include "platform/testing/FaultInjection.h"
#include "platform/testing/OsTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvik::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Operation;
using testsupport::writeFile;

// Long enough for any identity period the tests use by default; a wait that ends earlier ends
// because the watch reported something.
constexpr std::chrono::milliseconds kDeadline = 10s;
// An identity period that no test outlasts: only the notifications themselves can end a wait.
constexpr std::chrono::milliseconds kNoIdentityCheck = 24h;

bool watching(const WatchArm& arm) {
    return arm.state == WatchState::Watching || arm.state == WatchState::WatchingRemote;
}

class DirectoryWatchTest : public testsupport::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        settings_ = dir_ / "home" / "settings";
        fs::create_directories(settings_);
        file_ = settings_ / "config.json";
        writeFile(file_, "{}");
    }

    fs::path settings_;
    fs::path file_;
};

// Ways to put another directory where the watched one was, each without a notification on the
// watched directory itself on at least one platform.
struct Replacement {
    const char* name;
    bool posixOnly;  // symbolic links to directories: Wine cannot be relied on to make them
    // Lays the directory out before the watch (`settings` is where the path leads) and returns
    // the path to watch the file through.
    std::function<fs::path(const fs::path& scratch, const fs::path& settings)> layout;
    // Replaces what the watched path leads to by a new, empty directory.
    std::function<void(const fs::path& scratch, const fs::path& settings)> replace;
};

void PrintTo(const Replacement& replacement, std::ostream* out) {
    *out << replacement.name;
}

const Replacement kReplacements[] = {
    {"ParentRenamedAwayAndTreeMadeAgain", false,
     [](const fs::path&, const fs::path& settings) { return settings / "config.json"; },
     [](const fs::path& scratch, const fs::path& settings) {
         fs::rename(scratch / "home", scratch / "home.old");
         fs::create_directories(settings);
     }},
    {"SymbolicLinkPointedElsewhere", true,
     [](const fs::path& scratch, const fs::path& settings) {
         fs::create_directory_symlink(settings, scratch / "link");
         return scratch / "link" / "config.json";
     },
     [](const fs::path& scratch, const fs::path&) {
         // As dotfile managers do: a new link renamed over the old one.
         fs::create_directories(scratch / "elsewhere");
         fs::create_directory_symlink(scratch / "elsewhere", scratch / "link.new");
         fs::rename(scratch / "link.new", scratch / "link");
     }},
    {"WatchedDirectoryRenamed", false,
     [](const fs::path&, const fs::path& settings) { return settings / "config.json"; },
     [](const fs::path&, const fs::path& settings) {
         fs::rename(settings, settings.parent_path() / "settings.old");
         fs::create_directories(settings);
     }},
};

class ReplacedDirectoryTest : public DirectoryWatchTest,
                              public ::testing::WithParamInterface<Replacement> {};

TEST_P(ReplacedDirectoryTest, IsReportedGoneAndTheNewDirectoryIsWatchedOnceArmedAgain) {
    if (GetParam().posixOnly && !testing::isPosix()) {
        GTEST_SKIP() << "POSIX only";
    }
    const fs::path watched = GetParam().layout(dir_, settings_);
    DirectoryWatch watch;
    ASSERT_TRUE(watching(watch.arm(watched)));
    GetParam().replace(dir_, settings_);

    EXPECT_EQ(watch.wait(kDeadline), WatchSignal::DirectoryGone);
    ASSERT_TRUE(watching(watch.arm(watched)));
    writeFile(watched, "{\"version\": 2}");
    EXPECT_EQ(watch.wait(kDeadline), WatchSignal::Changed);
}

INSTANTIATE_TEST_SUITE_P(Ways, ReplacedDirectoryTest, ::testing::ValuesIn(kReplacements),
                         [](const auto& info) { return std::string(info.param.name); });

// The directory's own move is a notification on Linux: it must end the watch without waiting
// for the next look at the identity.
TEST_F(DirectoryWatchTest, WatchedDirectoryMovedAwayIsReportedGoneByItsNotification) {
    if (!testing::isPosix()) {
        GTEST_SKIP() << "Windows notifies nothing when the watched directory itself moves";
    }
    DirectoryWatch watch(kNoIdentityCheck);
    ASSERT_TRUE(watching(watch.arm(file_)));
    fs::rename(settings_, dir_ / "moved");
    EXPECT_EQ(watch.wait(kDeadline), WatchSignal::DirectoryGone);
}

// More notifications than the kernel queues for one instance (inotify's max_queued_events),
// none of them about the file: the kernel drops the rest and queues one overflow event, which
// belongs to no watch.
TEST_F(DirectoryWatchTest, LostNotificationsAreReportedAsOverflow) {
    std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
    long limit = 0;
    if (!testing::isPosix() || !(limitFile >> limit) || limit <= 0 || limit > 1'000'000) {
        GTEST_SKIP() << "no inotify queue limit to overflow here";
    }
    const fs::path first = settings_ / "other-a";
    const fs::path second = settings_ / "other-b";
    writeFile(first, "a");
    writeFile(second, "b");
    DirectoryWatch watch(kNoIdentityCheck);
    ASSERT_TRUE(watching(watch.arm(file_)));
    // Alternating, so that the kernel cannot merge an event with the one before it.
    for (long i = 0; i <= limit; ++i) {
        fs::permissions(i % 2 == 0 ? first : second,
                        fs::perms::owner_read | fs::perms::owner_write);
    }
    EXPECT_EQ(watch.wait(0ms), WatchSignal::Overflow);
}

// A directory whose watch is refused although it is there (Linux: no read permission; Windows:
// no permission to list it) is watched by looking at the file now and then; one that is not
// there is armed again later. The refusal comes from the test seam: these tests may run as
// root, which every permission lets in.
TEST_F(DirectoryWatchTest, RefusedWatchOfAnExistingDirectoryMeansPollingAMissingOneArmingAgain) {
    const ErrorCode accessDenied = testing::isPosix() ? 13 : 5;  // EACCES, ERROR_ACCESS_DENIED
    struct Case {
        const char* name;
        fs::path file;
        WatchState expected;
    };
    const Case cases[] = {
        {"existing", file_, WatchState::Unsupported},
        {"missing", dir_ / "missing" / "config.json", WatchState::DirectoryMissing},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        testing::ScopedFault refused(Operation::WatchOpen, accessDenied);
        DirectoryWatch watch;
        EXPECT_EQ(watch.arm(each.file).state, each.expected);
    }
}

TEST_F(DirectoryWatchTest, FileNamedInItsShortFormIsMatchedByItsLongName) {
    if (testing::isPosix()) {
        GTEST_SKIP() << "8.3 names are Windows'";
    }
    const fs::path shortForm = testing::shortPathName(file_);
    if (shortForm.empty() || shortForm.filename() == file_.filename()) {
        GTEST_SKIP() << "the system gave config.json no 8.3 short name";
    }
    ASSERT_NE(shortForm.filename().wstring().find(L'~'), std::wstring::npos);
    DirectoryWatch watch(kNoIdentityCheck);
    ASSERT_TRUE(watching(watch.arm(shortForm)));
    writeFile(file_, "{\"version\": 2}");  // notified under the long name
    EXPECT_EQ(watch.wait(kDeadline), WatchSignal::Changed);
}

}  // namespace
}  // namespace tarvik::platform
