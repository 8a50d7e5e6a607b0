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
#include <optional>
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

bool isChange(WatchSignal signal) {
    return signal == WatchSignal::Changed || signal == WatchSignal::CompleteSave;
}

// What the notifications queued by now say, taken together as the watcher takes them: the
// first wait's signal, or a later one's if more came (Windows may deliver them in pieces).
WatchSignal signalOfWhatHappened(DirectoryWatch& watch) {
    WatchSignal last = watch.wait(kDeadline);
    for (WatchSignal next = watch.wait(0ms); next != WatchSignal::Timeout; next = watch.wait(0ms)) {
        last = next;
    }
    return last;
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
    EXPECT_PRED1(isChange, watch.wait(kDeadline));
}

INSTANTIATE_TEST_SUITE_P(Ways, ReplacedDirectoryTest, ::testing::ValuesIn(kReplacements),
                         [](const auto& info) { return std::string(info.param.name); });

// A save that is complete the moment it is notified is read at once; anything that may be a
// write still going on is not. Hunts a half-written file taken for complete (a writer that has
// not closed yet, a close while another program still has the file open) and a rename or a
// last close taken for a write in progress.
TEST_F(DirectoryWatchTest, CompleteSavesAreToldApartFromWritesThatMayGoOn) {
    const bool posix = testing::isPosix();
    const fs::path temporary = settings_ / "config.json.tmp";
    struct Case {
        const char* name;
        // Writes; a case that looks in between (at a write still going on) waits on `watch`.
        std::function<void(DirectoryWatch& watch, const fs::path& file, const fs::path& temporary)>
            write;
        WatchSignal onLinux;
        std::optional<WatchSignal> onWindows;  // nothing: Windows notifies no close
    };
    const Case cases[] = {
        {"renamed into place",
         [](DirectoryWatch&, const fs::path& file, const fs::path& temporary) {
             writeFile(temporary, "{\"version\": 2}");
             ASSERT_EQ(moveIntoPlace(temporary, file), 0U);
         },
         WatchSignal::CompleteSave, WatchSignal::CompleteSave},
        {"replaced (the library's save)",
         [](DirectoryWatch&, const fs::path& file, const fs::path& temporary) {
             writeFile(temporary, "{\"version\": 3}");
             ASSERT_EQ(replaceFile(file, temporary), 0U);
         },
         WatchSignal::CompleteSave, WatchSignal::CompleteSave},
        {"written in place and closed",
         [](DirectoryWatch&, const fs::path& file, const fs::path&) {
             writeFile(file, "{\"version\": 4}");
         },
         WatchSignal::CompleteSave, WatchSignal::Changed},
        {"renamed into place, then written in place (closed only after a look)",
         [](DirectoryWatch& watch, const fs::path& file, const fs::path& temporary) {
             writeFile(temporary, "{\"version\": 5}");
             ASSERT_EQ(moveIntoPlace(temporary, file), 0U);
             std::ofstream out(file, std::ios::binary | std::ios::app);
             out << " ";
             out.flush();
             ASSERT_EQ(watch.wait(kDeadline), WatchSignal::Changed);
         },
         WatchSignal::CompleteSave, std::nullopt},
        // The reader opens between the writer's open and its close: two opens in a row would
        // be merged by the kernel into one event.
        {"closed after writing while another program has it open",
         [](DirectoryWatch& watch, const fs::path& file, const fs::path&) {
             std::ofstream out(file, std::ios::binary | std::ios::trunc);
             out << "{\"version\": 6}";
             out.flush();
             std::ifstream reader(file, std::ios::binary);
             out.close();
             ASSERT_EQ(watch.wait(kDeadline), WatchSignal::Changed);
             reader.close();  // the last one out: the save is complete now
         },
         WatchSignal::CompleteSave, std::nullopt},
        {"deleted",
         [](DirectoryWatch&, const fs::path& file, const fs::path&) { fs::remove(file); },
         WatchSignal::Changed, WatchSignal::Changed},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        writeFile(file_, "{}");
        DirectoryWatch watch(kNoIdentityCheck);
        ASSERT_TRUE(watching(watch.arm(file_)));
        each.write(watch, file_, temporary);
        if (HasFatalFailure()) {
            return;
        }
        if (posix || each.onWindows) {
            EXPECT_EQ(signalOfWhatHappened(watch), posix ? each.onLinux : *each.onWindows);
        }
    }
}

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
    EXPECT_PRED1(isChange, watch.wait(kDeadline));
}

}  // namespace
}  // namespace tarvik::platform
