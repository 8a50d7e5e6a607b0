// The settings watcher against the real file system and a real second process (tarvik-config,
// found next to this program), on Linux and under Wine. Hunts what the scripted tests of the
// decisions cannot see: notifications that never arrive or are filtered away (an atomic save, an
// editor's rename-away save, an in-place write, a deleted and re-created file or directory), own
// saves and identical rewrites reported after all, a watch that is not set up again after its
// directory was deleted, a fallback to polling that does not work, a watcher that moves a corrupt
// file aside, and a stop() that waits for the load's retries or leaves the thread running.
// Every wait is bounded by a deadline; the test ends as soon as the awaited news is there.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigWatcher.h>
#include "platform/File.h"
#include "platform/testing/FaultInjection.h"
#include "platform/testing/OsTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvik::driver {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::testing::Operation;
using testsupport::namesIn;
using testsupport::utf8;
using testsupport::writeFile;
using Keys = std::vector<std::string>;

constexpr auto kDeadline = 10s;

std::string documentOf(const Config& config) {
    return nlohmann::json(config).dump(4);
}

Config withSensitivity(float sensitivity) {
    Config config;
    config.detection.sensitivity = sensitivity;
    return config;
}

// Signals the first read of the file that began after a change was made, once that read has
// opened the file (when its buffer is sized): from then on it reads the changed file, or a
// later one, whatever the test does next. A change is made at its swap (the seam's hook just
// before the rename or ReplaceFileW, on the changing thread), or, for an in-place write, once
// its bytes are all written (its close is read at once): had the change counted only from its
// return, a look at its own event that began while the test's thread was held up after the
// swap would be missed, and nothing would be looked at again. Reads that began earlier, such as the
// watcher's look at an event from before the change or the update's own load, do not count.
struct ReadSignal {
    std::atomic<bool> changeMade{false};
    std::promise<void> seen;

    // Arms the test seam; `self` keeps the signal alive for as long as the seam holds it.
    void arm(const std::shared_ptr<ReadSignal>& self) {
        platform::testing::runBeforeNext(Operation::ReadFile, [self] {
            if (!self->changeMade.load()) {
                self->arm(self);
                return;
            }
            platform::testing::runBeforeNext(Operation::ReadAllocation,
                                             [self] { self->seen.set_value(); });
        });
    }
};

class WatcherTest : public testsupport::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        settings_ = dir_ / "settings";
        file_ = settings_ / "config.json";
        fs::create_directories(settings_);
        fs::create_directories(dir_ / "capture");
    }
    void TearDown() override {
        watcher_.reset();  // before the directory goes
        ScratchTest::TearDown();
    }

    // Starts the watcher on a file holding `initial` and takes the first news.
    void startWatching(const Config& initial = withSensitivity(0.3f)) {
        ASSERT_TRUE(saveConfigJson(file_, initial));
        startWatchingAsItIs();
        ASSERT_FALSE(HasFatalFailure());
    }
    void startWatchingAsItIs() {
        watcher_.emplace(file_);
        const ConfigNews first = nextNews();
        ASSERT_TRUE(first.initial);
        ASSERT_EQ(first.sequence, 1U);
    }

    // The next news, waited for until the deadline.
    ConfigNews nextNews() {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            if (watcher_->waitForNews(100ms)) {
                return *watcher_->takeNews();
            }
        }
        ADD_FAILURE() << "no news within " << kDeadline.count() << " s";
        return ConfigNews{};
    }

    // Replaces the file as another program's atomic save does, with bytes of our choosing.
    // ReplaceFileW on Windows, as the library's save does: a MoveFileExW over the file would be
    // refused while the watcher reads it (as while a load reads it).
    void saveAsAnotherProgram(const std::string& text) {
        const fs::path temporary = settings_ / "other-program.tmp";
        writeFile(temporary, text);
        const platform::ErrorCode error = fs::exists(file_)
                                              ? platform::replaceFile(file_, temporary)
                                              : platform::moveIntoPlace(temporary, file_);
        ASSERT_EQ(error, 0U) << platform::errorText(error);
    }

    // Makes `change`, then returns once the watcher has opened the file in a read that began
    // after it, so that the change is looked at (and would be reported if it were news) before
    // the test goes on.
    template <typename Change>
    void changeThenAwaitTheWatchersRead(Change change) {
        const auto signal = std::make_shared<ReadSignal>();
        signal->arm(signal);
        for (const Operation swap : {Operation::Replace, Operation::MoveIntoPlace}) {
            platform::testing::runBeforeNext(swap, [signal] { signal->changeMade = true; });
        }
        const std::function<void()> made = [signal] { signal->changeMade = true; };
        if constexpr (std::is_invocable_v<Change, const std::function<void()>&>) {
            change(made);  // an in-place write says when its bytes are all there
        } else {
            change();
        }
        made();
        for (const Operation swap : {Operation::Replace, Operation::MoveIntoPlace}) {
            platform::testing::runBeforeNext(swap, nullptr);  // unused by an in-place write
        }
        ASSERT_EQ(signal->seen.get_future().wait_for(kDeadline), std::future_status::ready)
            << "the watcher did not look at the file";
    }

    platform::testing::ProgramRun runTool(const std::vector<std::string>& arguments) {
        return platform::testing::runProgram(
            platform::testing::executableDirectory() / TARVIK_CONFIG_PROGRAM, arguments,
            dir_ / "capture");
    }

    fs::path settings_;
    fs::path file_;
    std::optional<ConfigWatcher> watcher_;
};

TEST_F(WatcherTest, AnotherProcessesSaveIsReportedWithTheKeyItChanged) {
    startWatching();
    const auto set = runTool({"set", utf8(file_), "detection.sensitivity", "0.5"});
    ASSERT_EQ(set.status, 0) << set.error;
    const ConfigNews news = nextNews();
    EXPECT_EQ(news.outcome, WatchOutcome::Read);
    EXPECT_EQ(news.changedKeys, Keys{"detection.sensitivity"});
    EXPECT_EQ(news.config.detection.sensitivity, 0.5f);
    EXPECT_EQ(news.sequence, 2U);
}

TEST_F(WatcherTest, OwnSaveAndUpdateAreNotReported) {
    startWatching();
    changeThenAwaitTheWatchersRead(
        [this] { ASSERT_TRUE(saveConfigJson(file_, withSensitivity(0.4f))); });
    Config config;
    changeThenAwaitTheWatchersRead([this, &config] {
        ASSERT_TRUE(updateConfigJson(file_, config, [](Config& c) { c.audio.bufferSizeMs = 20; }));
    });

    Config other = config;
    other.detection.fftSize = 4096;
    saveAsAnotherProgram(documentOf(other));
    const ConfigNews news = nextNews();
    EXPECT_EQ(news.sequence, 2U) << "an own save was reported";
    EXPECT_EQ(news.changedKeys, Keys{"detection.fftSize"});
    EXPECT_EQ(news.config.audio.bufferSizeMs, 20);
}

// The tray changes the device and the driver updates the sensitivity right after: the update
// takes the tray's change in, and the driver must still hear of it, once, and never of its own.
TEST_F(WatcherTest, ChangeThatTheDriversUpdateTookInIsReportedOnce) {
    startWatching();
    Config tray = withSensitivity(0.3f);
    tray.audio.deviceId = L"tray-device";
    Config config = withSensitivity(0.3f);
    saveAsAnotherProgram(documentOf(tray));
    ASSERT_TRUE(updateConfigJson(file_, config, [](Config& c) { c.detection.sensitivity = 0.9f; }));
    const ConfigNews news = nextNews();
    EXPECT_EQ(news.changedKeys, Keys{"audio.deviceId"});
    EXPECT_EQ(news.config.detection.sensitivity, 0.9f);
    EXPECT_EQ(news.config.audio.deviceId, L"tray-device");

    Config other = config;
    other.detection.fftSize = 4096;
    saveAsAnotherProgram(documentOf(other));
    const ConfigNews next = nextNews();
    EXPECT_EQ(next.changedKeys, Keys{"detection.fftSize"});
    EXPECT_EQ(next.sequence, news.sequence + 1) << "the taken-in change came twice";
}

// A news read before the driver's update and taken after it carries the update's record: the
// frame loop's `config = news.config` never puts the old value back.
TEST_F(WatcherTest, NewsTakenAfterAnOwnUpdateCarriesTheUpdatedRecord) {
    startWatching();
    Config tray = withSensitivity(0.3f);
    tray.audio.bufferSizeMs = 20;
    saveAsAnotherProgram(documentOf(tray));
    ASSERT_TRUE(watcher_->waitForNews(kDeadline));  // waiting, not taken
    Config config = withSensitivity(0.3f);
    ASSERT_TRUE(updateConfigJson(file_, config, [](Config& c) { c.detection.sensitivity = 0.9f; }));
    const std::optional<ConfigNews> news = watcher_->takeNews();
    ASSERT_TRUE(news.has_value());
    EXPECT_FALSE(watcher_->hasNews()) << "a taken news is still flagged";
    EXPECT_EQ(news->config.detection.sensitivity, 0.9f);
    EXPECT_EQ(news->config.audio.bufferSizeMs, 20);
    EXPECT_EQ(news->changedKeys, Keys{"audio.bufferSizeMs"});
}

TEST_F(WatcherTest, RewriteOrTouchThatLeavesTheContentIsNotReported) {
    startWatching();
    const std::string text = testsupport::readFile(file_);
    changeThenAwaitTheWatchersRead([this, &text] { saveAsAnotherProgram(text); });
    changeThenAwaitTheWatchersRead([this, &text](const std::function<void()>& made) {
        std::ofstream out(file_, std::ios::binary | std::ios::trunc);  // in place
        out << text;
        out.flush();
        made();  // the close is read at once
    });

    saveAsAnotherProgram(documentOf(withSensitivity(0.6f)));
    const ConfigNews news = nextNews();
    EXPECT_EQ(news.sequence, 2U) << "a rewrite of the same bytes was reported";
    EXPECT_EQ(news.config.detection.sensitivity, 0.6f);
}

TEST_F(WatcherTest, EditorsRenameAwaySaveIsReportedWithoutAMissingFile) {
    startWatching();
    fs::path backup = file_;
    backup += "~";
    fs::rename(file_, backup);
    writeFile(file_, documentOf(withSensitivity(0.6f)));
    fs::remove(backup);
    const ConfigNews news = nextNews();
    EXPECT_EQ(news.outcome, WatchOutcome::Read);
    EXPECT_EQ(news.changedKeys, Keys{"detection.sensitivity"});
    EXPECT_EQ(news.sequence, 2U);
}

TEST_F(WatcherTest, InPlaceTruncateAndWriteInPiecesIsReportedWhole) {
    startWatching();
    const std::string text = documentOf(withSensitivity(0.6f));
    {
        std::ofstream out(file_, std::ios::binary | std::ios::trunc);
        out.flush();
        for (std::size_t at = 0; at < text.size(); at += 64) {
            out << text.substr(at, 64);
            out.flush();  // one write(2) per piece
        }
    }
    const ConfigNews news = nextNews();
    EXPECT_EQ(news.outcome, WatchOutcome::Read);
    EXPECT_EQ(news.config.detection.sensitivity, 0.6f);
}

TEST_F(WatcherTest, HundredSavesInASecondGiveAFewNewsTheLastWithTheFinalContent) {
    startWatching();
    for (int i = 1; i <= 100; ++i) {
        saveAsAnotherProgram(documentOf(withSensitivity(float(i) / 1000.0f)));
        std::this_thread::sleep_for(10ms);  // the pace of the burst, not a wait for the watcher
    }
    int received = 0;
    ConfigNews news;
    do {
        news = nextNews();
        ++received;
    } while (!HasFailure() && news.config.detection.sensitivity != 0.1f);
    EXPECT_LE(received, 30);
    EXPECT_EQ(news.outcome, WatchOutcome::Read);
}

TEST_F(WatcherTest, CorruptFileIsReportedOnceLeftInPlaceAndItsFixReported) {
    startWatching();
    const std::string broken = "{\n    \"detection\": {\"sensitivity\": 0.5,}\n}";
    saveAsAnotherProgram(broken);
    const ConfigNews unusable = nextNews();
    EXPECT_EQ(unusable.outcome, WatchOutcome::Unusable);
    const ConfigCheck check = checkConfigText(broken);
    ASSERT_FALSE(check.findings.empty());
    EXPECT_EQ(unusable.problem, check.findings.front().message);
    EXPECT_EQ(unusable.config.detection.sensitivity, 0.3f);  // the last good record
    EXPECT_EQ(namesIn(settings_), std::vector<std::string>{"config.json"});
    EXPECT_EQ(testsupport::readFile(file_), broken);

    // Other bytes with the same first problem: the same spell, not news (another first problem
    // would be, once it lasted 100 ms: the unit tests of the decisions show that).
    changeThenAwaitTheWatchersRead(
        [this] { saveAsAnotherProgram("{\n    \"detection\": {\"sensitivity\": 0.4,}\n}"); });
    saveAsAnotherProgram(documentOf(withSensitivity(0.5f)));
    const ConfigNews fixed = nextNews();
    EXPECT_EQ(fixed.outcome, WatchOutcome::Read);
    EXPECT_EQ(fixed.sequence, unusable.sequence + 1) << "the second unusable state was reported";
    EXPECT_EQ(fixed.changedKeys, Keys{"detection.sensitivity"});
}

TEST_F(WatcherTest, FileDeletedIsReportedMissingAndItsReturnRead) {
    startWatching();
    fs::remove(file_);
    const ConfigNews missing = nextNews();
    EXPECT_EQ(missing.outcome, WatchOutcome::Missing);
    EXPECT_EQ(missing.config.detection.sensitivity, Config{}.detection.sensitivity);
    writeFile(file_, documentOf(withSensitivity(0.6f)));
    const ConfigNews back = nextNews();
    EXPECT_EQ(back.outcome, WatchOutcome::Read);
    EXPECT_EQ(back.config.detection.sensitivity, 0.6f);
}

TEST_F(WatcherTest, DirectoryDeletedAndCreatedAgainIsWatchedAgain) {
    startWatching();
    fs::remove_all(settings_);
    const ConfigNews missing = nextNews();
    EXPECT_EQ(missing.outcome, WatchOutcome::Missing);
    fs::create_directories(settings_);
    saveAsAnotherProgram(documentOf(withSensitivity(0.6f)));
    const ConfigNews back = nextNews();
    EXPECT_EQ(back.outcome, WatchOutcome::Read);
    EXPECT_EQ(back.config.detection.sensitivity, 0.6f);
    // And the new directory is watched: a later change arrives too.
    saveAsAnotherProgram(documentOf(withSensitivity(0.7f)));
    EXPECT_EQ(nextNews().config.detection.sensitivity, 0.7f);
}

TEST_F(WatcherTest, WithoutNotificationsTheFileIsLookedAtEverySecond) {
    platform::testing::failNext(Operation::Watch, 1, -1);
    ASSERT_TRUE(saveConfigJson(file_, withSensitivity(0.3f)));
    watcher_.emplace(file_);
    const ConfigNews first = nextNews();
    EXPECT_TRUE(first.polling);
    saveAsAnotherProgram(documentOf(withSensitivity(0.6f)));
    const ConfigNews news = nextNews();
    EXPECT_TRUE(news.polling);
    EXPECT_EQ(news.config.detection.sensitivity, 0.6f);
}

TEST_F(WatcherTest, StopDuringTheRetriesOfALockedFileEndsAtOnce) {
    ASSERT_TRUE(saveConfigJson(file_, withSensitivity(0.3f)));
    platform::testing::reportSharingViolation(100);
    auto reading = std::make_shared<std::promise<void>>();
    std::future<void> started = reading->get_future();
    platform::testing::runBeforeNext(Operation::ReadFile, [reading] { reading->set_value(); });
    watcher_.emplace(file_);
    ASSERT_EQ(started.wait_for(kDeadline), std::future_status::ready);
    watcher_->stop();
    // The first refusal's pause was cut short: no second attempt, and no news.
    EXPECT_EQ(platform::testing::injectedCount(Operation::ReadFile), 1);
    EXPECT_FALSE(watcher_->hasNews());
    watcher_->stop();  // a second stop does nothing
}

}  // namespace
}  // namespace tarvik::driver
