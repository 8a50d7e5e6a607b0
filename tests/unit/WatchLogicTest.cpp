// Hunts faults in the watcher's decisions, without threads, sleeps or a file system: the real
// watch loop runs against a scripted clock, event source and file. It hunts news for the
// process's own saves (or, the other way round, another program's change swallowed because it
// resembles an own save), news for a rewrite that changes nothing, a burst of saves that gives a
// news per save or loses the final content, a save 50 ms after another that is lost, a file
// reported missing during an editor's rename-away save, a half-written file reported as
// unusable, an unusable file reported twice or blocking the next good state, polling that never
// starts, a lost directory watch that is never set up again, the load's retries of a locked file
// missing or not cut short by a stop, and changed keys that are wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/WatchLogic.h"

namespace tarvik::driver {

namespace detail {
namespace {

using namespace std::chrono_literals;
using platform::WatchSignal;
using platform::WatchState;
using Keys = std::vector<std::string>;

std::string documentOf(const Config& config) {
    return nlohmann::json(config).dump(4);  // as a save writes it
}

Config withSensitivity(float sensitivity) {
    Config config;
    config.detection.sensitivity = sensitivity;
    return config;
}

std::string sensitivityDocument(float sensitivity) {
    return documentOf(withSensitivity(sensitivity));
}

// A world whose clock moves only when the loop waits: each wait jumps to its deadline or to the
// next scripted step, whichever comes first. Stops the loop (Woken) at `stopAt`.
class ScriptedWorld final : public WatchEnvironment {
public:
    struct Published {
        WatchTime at;
        ConfigNews news;
        std::uint64_t asOf = 0;
    };

    WatchTime start() const { return kStart; }
    WatchTime at(std::chrono::milliseconds offset) const { return kStart + offset; }

    // At `offset`, the file gets `text` and the directory notification `signal` arrives.
    void save(std::chrono::milliseconds offset, std::string text,
              WatchSignal signal = WatchSignal::Changed) {
        addStep(offset, signal, [text = std::move(text)](ScriptedWorld& world) {
            world.kind_ = FileLook::Kind::Content;
            world.text_ = text;
        });
    }
    void remove(std::chrono::milliseconds offset, WatchSignal signal = WatchSignal::Changed) {
        addStep(offset, signal,
                [](ScriptedWorld& world) { world.kind_ = FileLook::Kind::Missing; });
    }
    void signal(std::chrono::milliseconds offset, WatchSignal signal) {
        addStep(offset, signal, [](ScriptedWorld&) {});
    }
    void act(std::chrono::milliseconds offset, std::function<void(ScriptedWorld&)> action) {
        addStep(offset, WatchSignal::Timeout, std::move(action));
    }
    void setFile(FileLook::Kind kind, std::string text = {}, std::string problem = {}) {
        kind_ = kind;
        text_ = std::move(text);
        problem_ = std::move(problem);
    }
    void lockNextReads(int count) { lockedReads_ = count; }
    // An own save of `text` begins (the record it wrote and, for an update, the record it read
    // from the file); `finished` finishes it at once, landed.
    void setOwnSave(const std::string& text, bool finished,
                    std::optional<Config> written = std::nullopt,
                    std::optional<Config> base = std::nullopt) {
        OwnSave save;
        save.generation = ++ownGeneration_;
        save.size = text.size();
        save.hash = contentHash(text);
        save.written = std::move(written);
        save.base = std::move(base);
        own_.push_back(std::move(save));
        if (finished) {
            finishOwnSave();
        }
    }
    // The newest own save in progress finishes; `landed`: its text was put in place.
    void finishOwnSave(bool landed = true) {
        for (auto save = own_.rbegin(); save != own_.rend(); ++save) {
            if (!save->finished()) {
                save->finishedAt = ++ownFinishes_;
                save->landed = landed;
                return;
            }
        }
    }
    std::size_t unaccountedOwnSaves() const { return own_.size(); }
    // What arm() answers, one entry per call; the last one stays.
    void armResults(std::deque<WatchState> results) { armResults_ = std::move(results); }

    void run(std::chrono::milliseconds until, const Config& inUse = Config{},
             const WatchTimings& timings = WatchTimings{}, const Config& defaults = Config{}) {
        stopAt_ = kStart + until;
        runWatchLoop(*this, timings, inUse, defaults);
    }

    const std::vector<Published>& published() const { return published_; }
    const std::vector<WatchTime>& reads() const { return reads_; }
    const std::vector<WatchTime>& arms() const { return arms_; }

    // WatchEnvironment
    WatchTime now() override { return clock_; }
    platform::WatchArm arm() override {
        arms_.push_back(clock_);
        const WatchState state = armResults_.front();
        if (armResults_.size() > 1) {
            armResults_.pop_front();
        }
        return {state, 0};
    }
    WatchSignal wait(WatchTime deadline) override {
        if (++waits_ > 100'000) {
            throw std::runtime_error("the loop waits without end");
        }
        const WatchTime next = steps_.empty() ? WatchTime::max() : steps_.front().at;
        const WatchTime target = std::min({deadline, next, stopAt_});
        clock_ = std::max(clock_, target);
        if (clock_ >= stopAt_) {
            return WatchSignal::Woken;
        }
        if (!steps_.empty() && steps_.front().at <= clock_) {
            Step step = std::move(steps_.front());
            steps_.pop_front();
            step.action(*this);
            return step.signal;
        }
        return WatchSignal::Timeout;
    }
    FileLook read() override {
        reads_.push_back(clock_);
        if (reads_.size() > 10'000) {
            throw std::runtime_error("the loop reads without waiting");
        }
        if (lockedReads_ > 0) {
            --lockedReads_;
            return {FileLook::Kind::Locked, {}, {}};
        }
        return {kind_, kind_ == FileLook::Kind::Content ? text_ : std::string(), problem_};
    }
    LedgerSnapshot ownSaves() override { return {own_, ownFinishes_}; }
    void accountFor(const std::vector<std::uint64_t>& generations) override {
        own_.erase(std::remove_if(own_.begin(), own_.end(),
                                  [&generations](const OwnSave& save) {
                                      return std::find(generations.begin(), generations.end(),
                                                       save.generation) != generations.end();
                                  }),
                   own_.end());
    }
    void publish(ConfigNews news, std::uint64_t asOf) override {
        published_.push_back({clock_, std::move(news), asOf});
    }

private:
    static constexpr WatchTime kStart = WatchTime(std::chrono::hours(1));

    struct Step {
        WatchTime at;
        WatchSignal signal;
        std::function<void(ScriptedWorld&)> action;
    };
    void addStep(std::chrono::milliseconds offset, WatchSignal signal,
                 std::function<void(ScriptedWorld&)> action) {
        const WatchTime when = kStart + offset;
        const auto place =
            std::upper_bound(steps_.begin(), steps_.end(), when,
                             [](WatchTime time, const Step& step) { return time < step.at; });
        steps_.insert(place, Step{when, signal, std::move(action)});
    }

    WatchTime clock_ = kStart;
    WatchTime stopAt_ = WatchTime::max();
    std::deque<Step> steps_;
    FileLook::Kind kind_ = FileLook::Kind::Missing;
    std::string text_;
    std::string problem_;
    int lockedReads_ = 0;
    std::vector<OwnSave> own_;  // not yet accounted for
    std::uint64_t ownGeneration_ = 0;
    std::uint64_t ownFinishes_ = 0;
    std::deque<WatchState> armResults_{WatchState::Watching};
    std::vector<Published> published_;
    std::vector<WatchTime> reads_;
    std::vector<WatchTime> arms_;
    long waits_ = 0;
};

class WatchLogicTest : public ::testing::Test {
protected:
    // The news after the first one (the state as the watch began).
    std::vector<ScriptedWorld::Published> later() const {
        const auto& all = world_.published();
        EXPECT_FALSE(all.empty()) << "no first news";
        return all.empty() ? all
                           : std::vector<ScriptedWorld::Published>(all.begin() + 1, all.end());
    }

    ScriptedWorld world_;
};

TEST_F(WatchLogicTest, FirstNewsIsTheStateAtStartComparedWithTheRecordInUse) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.5f));
    world_.run(1s, withSensitivity(0.3f));
    ASSERT_EQ(world_.published().size(), 1U);
    const ConfigNews& first = world_.published()[0].news;
    EXPECT_EQ(world_.published()[0].at, world_.start());
    EXPECT_TRUE(first.initial);
    EXPECT_EQ(first.outcome, WatchOutcome::Read);
    EXPECT_EQ(first.changedKeys, Keys{"detection.sensitivity"});
    EXPECT_EQ(first.config.detection.sensitivity, 0.5f);
    EXPECT_FALSE(first.polling);
}

TEST_F(WatchLogicTest, FirstNewsComesAtOnceEvenForAMissingFile) {
    world_.run(100ms, withSensitivity(0.3f));
    ASSERT_EQ(world_.published().size(), 1U);
    EXPECT_EQ(world_.published()[0].news.outcome, WatchOutcome::Missing);
    EXPECT_EQ(world_.published()[0].at, world_.start());  // no grace for the first look
    EXPECT_EQ(world_.published()[0].news.changedKeys, Keys{"detection.sensitivity"});
}

TEST_F(WatchLogicTest, BurstOfSavesGivesAFewNewsTheLastWithTheFinalContent) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.0f));
    for (int i = 1; i <= 100; ++i) {
        world_.save(std::chrono::milliseconds(10 * i), sensitivityDocument(float(i) / 100.0f));
    }
    world_.run(3s);
    const auto news = later();
    ASSERT_GE(news.size(), 2U);
    EXPECT_LE(news.size(), 10U);
    EXPECT_EQ(news.back().news.config.detection.sensitivity, 1.0f);
    // The final save (at 1000 ms) is read once the file has been quiet for 20 ms.
    EXPECT_EQ(news.back().at, world_.at(1020ms));
    EXPECT_LE(world_.reads().size(), 12U);
}

// A slider dragged in the tray application: a complete save every 16 ms (renamed into place).
// Each is read the moment it is notified, so the driver follows save by save; a write in place
// that may still be going on keeps the settle time.
TEST_F(WatchLogicTest, CompleteSavesAreReadAtOnceEachGivingItsNews) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.0f));
    constexpr int kSaves = 100;
    for (int i = 1; i <= kSaves; ++i) {
        world_.save(std::chrono::milliseconds(16 * i), sensitivityDocument(float(i) / 1000.0f),
                    WatchSignal::CompleteSave);
    }
    world_.save(3000ms, sensitivityDocument(0.5f));  // in place, perhaps not done yet
    world_.run(4s);
    const auto news = later();
    ASSERT_EQ(news.size(), std::size_t{kSaves} + 1);
    for (int i = 1; i <= kSaves; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(news[i - 1].at, world_.at(std::chrono::milliseconds(16 * i)));
        EXPECT_EQ(news[i - 1].news.config.detection.sensitivity, float(i) / 1000.0f);
    }
    EXPECT_EQ(news.back().at, world_.at(3020ms));
}

// A write noted after a complete save that has not been looked at yet means the file is being
// written again: it waits for the settle time like any write.
TEST(ReloadDeciderTest, WriteAfterACompleteSaveWaitsForTheSettleTime) {
    const WatchTimings timings;
    ReloadDecider decider(timings, Config{}, Config{});
    const WatchTime start = WatchTime(std::chrono::hours(1));
    decider.beginLook(start);
    std::vector<std::uint64_t> accounted;
    (void)decider.finishLook(start, {FileLook::Kind::Missing, {}, {}}, {}, accounted);

    decider.noteChange(start + 10ms, /*complete=*/true);
    EXPECT_EQ(decider.nextLook(), start + 10ms);
    decider.noteChange(start + 11ms);
    EXPECT_EQ(decider.nextLook(), start + 11ms + timings.settle);
}

TEST_F(WatchLogicTest, SaveFiftyMillisecondsAfterAnotherIsReportedToo) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.1f));
    world_.save(100ms, sensitivityDocument(0.2f));
    world_.save(150ms, sensitivityDocument(0.3f));
    world_.run(1s);
    const auto news = later();
    ASSERT_EQ(news.size(), 2U);
    EXPECT_EQ(news[0].news.config.detection.sensitivity, 0.2f);
    EXPECT_EQ(news[1].news.config.detection.sensitivity, 0.3f);
    EXPECT_EQ(news[1].news.changedKeys, Keys{"detection.sensitivity"});
}

TEST_F(WatchLogicTest, RewriteThatLeavesTheRecordAsItWasIsNotReported) {
    const std::string original = sensitivityDocument(0.4f);
    world_.setFile(FileLook::Kind::Content, original);
    world_.save(100ms, original);  // rewritten byte for byte, or touched
    nlohmann::json reformatted = nlohmann::json::parse(original);
    world_.save(200ms, reformatted.dump());              // other white space
    reformatted["comment"] = "the driver ignores this";  // an unknown key
    world_.save(300ms, reformatted.dump(2));
    reformatted["detection"]["fftSize"] = "4096";  // a value the driver skips
    world_.save(400ms, reformatted.dump(2));
    world_.save(500ms, sensitivityDocument(0.6f));  // a real change, to show news still comes
    world_.run(1s);
    const auto news = later();
    ASSERT_EQ(news.size(), 1U);
    EXPECT_EQ(news[0].news.changedKeys, Keys{"detection.sensitivity"});
}

TEST_F(WatchLogicTest, FieldClearedInTheFileIsClearedInTheRecord) {
    Config inUse;
    inUse.audio.deviceId = L"{device}";
    inUse.training.lastTrainedTimestamp = TimePoint(Ticks(17'000'000'000'000'000));
    world_.setFile(FileLook::Kind::Content, documentOf(inUse));
    nlohmann::json cleared = inUse;
    cleared["audio"]["deviceId"] = nullptr;
    cleared["training"]["lastTrainedTimestamp"] = nullptr;
    world_.save(100ms, cleared.dump(4));
    world_.run(1s, inUse);
    const auto news = later();
    ASSERT_EQ(news.size(), 1U);
    EXPECT_EQ(news[0].news.changedKeys, (Keys{"audio.deviceId", "training.lastTrainedTimestamp"}));
    EXPECT_TRUE(news[0].news.config.audio.deviceId.empty());
    EXPECT_FALSE(news[0].news.config.training.lastTrainedTimestamp.has_value());
}

// The process's own saves, as the save records them (config/FileKnowledge.h), against what another
// program writes.
TEST_F(WatchLogicTest, OwnSaveIsNotReportedAndLaterChangesCompareWithIt) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.1f));
    Config own = withSensitivity(0.2f);
    world_.act(100ms, [&own](ScriptedWorld& world) { world.setOwnSave(documentOf(own), false); });
    world_.save(105ms, documentOf(own));
    world_.act(110ms, [](ScriptedWorld& world) { world.finishOwnSave(); });
    Config other = own;
    other.audio.bufferSizeMs = 20;  // another program's update on top of the own save
    world_.save(300ms, documentOf(other));
    world_.run(1s);
    const auto news = later();
    ASSERT_EQ(news.size(), 1U);
    EXPECT_EQ(news[0].news.changedKeys, Keys{"audio.bufferSizeMs"});
}

TEST_F(WatchLogicTest, OwnSaveStillInProgressIsNotMistakenForTheOldContent) {
    // The save has recorded its document but not yet swapped it in; the look sees the old file.
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.1f));
    const std::string own = sensitivityDocument(0.2f);
    world_.act(100ms, [&own](ScriptedWorld& world) { world.setOwnSave(own, false); });
    world_.signal(101ms, WatchSignal::Changed);  // its temporary file, say
    world_.save(200ms, own);
    world_.act(210ms, [](ScriptedWorld& world) { world.finishOwnSave(); });
    world_.run(1s);
    EXPECT_TRUE(later().empty());
}

TEST_F(WatchLogicTest, AnotherProgramWritingTheBytesOfAnEarlierOwnSaveIsReported) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.1f));
    const std::string own = sensitivityDocument(0.2f);
    world_.act(100ms, [&own](ScriptedWorld& world) { world.setOwnSave(own, true); });
    world_.save(100ms, own);
    world_.save(300ms, sensitivityDocument(0.3f));  // another program
    world_.save(500ms, own);                        // another program, the own bytes again
    // And an own save that another program overwrote before it was ever looked at.
    const std::string overwritten = sensitivityDocument(0.4f);
    world_.act(700ms,
               [&overwritten](ScriptedWorld& world) { world.setOwnSave(overwritten, true); });
    world_.save(701ms, sensitivityDocument(0.5f));
    world_.save(900ms, overwritten);  // another program, later
    world_.run(2s);
    const auto news = later();
    ASSERT_EQ(news.size(), 4U);
    EXPECT_EQ(news[0].news.config.detection.sensitivity, 0.3f);
    EXPECT_EQ(news[1].news.config.detection.sensitivity, 0.2f);
    EXPECT_EQ(news[2].news.config.detection.sensitivity, 0.5f);
    EXPECT_EQ(news[3].news.config.detection.sensitivity, 0.4f);
}

// The own saves that meet another program's change within one settle time. Each round: the
// file holds `start`; what happens at 100 ms and after; the news expected after the first.
TEST_F(WatchLogicTest, OwnSavesAndAnotherProgramsChangeInOneSettleTime) {
    const Config start = withSensitivity(0.1f);
    Config tray = start;
    tray.audio.deviceId = L"tray-device";  // another program's change
    Config own = tray;
    own.detection.sensitivity = 0.2f;  // the driver's update on top of it
    Config ownAlone = withSensitivity(0.2f);
    Config trayAfter = ownAlone;
    trayAfter.audio.bufferSizeMs = 20;
    const struct Round {
        const char* name;
        std::function<void(ScriptedWorld&)> script;
        Keys expected;  // the changed keys of the one news after the first; empty: no news
    } rounds[] = {
        {"an update takes another program's change in: it is news",
         [&](ScriptedWorld& world) {
             world.save(100ms, documentOf(tray));
             world.act(105ms,
                       [&](ScriptedWorld& w) { w.setOwnSave(documentOf(own), false, own, tray); });
             world.save(106ms, documentOf(own));
             world.act(107ms, [](ScriptedWorld& w) { w.finishOwnSave(); });
         },
         Keys{"audio.deviceId"}},
        {"another program writes right after an own save: the own key is not news",
         [&](ScriptedWorld& world) {
             world.act(100ms, [&](ScriptedWorld& w) {
                 w.setOwnSave(documentOf(ownAlone), false, ownAlone, start);
             });
             world.save(101ms, documentOf(ownAlone));
             world.act(102ms, [](ScriptedWorld& w) { w.finishOwnSave(); });
             world.save(105ms, documentOf(trayAfter));
         },
         Keys{"audio.bufferSizeMs"}},
        {"the first of two own saves is read while the second is in progress",
         [&](ScriptedWorld& world) {
             world.act(100ms, [&](ScriptedWorld& w) {
                 w.setOwnSave(sensitivityDocument(0.2f), false, withSensitivity(0.2f));
             });
             world.save(101ms, sensitivityDocument(0.2f));
             world.act(102ms, [](ScriptedWorld& w) { w.finishOwnSave(); });
             world.act(110ms, [&](ScriptedWorld& w) {
                 w.setOwnSave(sensitivityDocument(0.3f), false, withSensitivity(0.3f));
             });
             world.save(200ms, sensitivityDocument(0.3f));
             world.act(201ms, [](ScriptedWorld& w) { w.finishOwnSave(); });
         },
         Keys{}},
    };
    for (const Round& round : rounds) {
        SCOPED_TRACE(round.name);
        ScriptedWorld world;
        world.setFile(FileLook::Kind::Content, documentOf(start));
        round.script(world);
        world.run(1s, start);
        ASSERT_FALSE(world.published().empty());
        const std::vector<ScriptedWorld::Published> news(world.published().begin() + 1,
                                                         world.published().end());
        if (round.expected.empty()) {
            EXPECT_TRUE(news.empty());
        } else {
            ASSERT_EQ(news.size(), 1U);
            EXPECT_EQ(news[0].news.changedKeys, round.expected);
        }
        EXPECT_EQ(world.unaccountedOwnSaves(), 0U);
    }
}

// The caller's defaults, not the library's, fill what the file lacks, and are the record of a
// missing file.
TEST_F(WatchLogicTest, KeysTheFileLacksGiveTheCallersDefaults) {
    Config defaults;
    defaults.audio.bufferSizeMs = 20;
    world_.setFile(FileLook::Kind::Content, R"({"detection": {"sensitivity": 0.5}})");
    world_.remove(100ms);
    world_.run(3s, defaults, WatchTimings{}, defaults);
    ASSERT_EQ(world_.published().size(), 2U);
    EXPECT_EQ(world_.published()[0].news.config.audio.bufferSizeMs, 20);
    EXPECT_EQ(world_.published()[0].news.changedKeys, Keys{"detection.sensitivity"});
    EXPECT_EQ(world_.published()[1].news.outcome, WatchOutcome::Missing);
    EXPECT_EQ(nlohmann::json(world_.published()[1].news.config), nlohmann::json(defaults));
}

// A writer that goes on writing: each new unusable content starts the confirmation afresh.
TEST_F(WatchLogicTest, UnusableContentThatChangesAgainIsConfirmedAfresh) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    const std::string complete = sensitivityDocument(0.5f);
    world_.save(100ms, complete.substr(0, 10));
    world_.save(150ms, complete.substr(0, 30));
    world_.save(260ms, complete);
    world_.run(1s);
    const auto news = later();
    ASSERT_EQ(news.size(), 1U);
    EXPECT_EQ(news[0].news.outcome, WatchOutcome::Read);
    EXPECT_EQ(news[0].news.config.detection.sensitivity, 0.5f);
}

TEST_F(WatchLogicTest, UnusableFileIsReportedOncePerProblemAndTheNextGoodStateAfterIt) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    const std::string broken = "{\n    \"detection\": {\"sensitivity\": 0.5,}\n}";
    const std::string typing = "{\n    \"detection\": ";
    world_.save(100ms, broken);
    world_.save(300ms, broken + "\n");  // other bytes, the same first problem: no news
    world_.save(400ms, typing);         // still typing: unusable in another way
    world_.save(700ms, sensitivityDocument(0.5f));
    world_.run(2s);
    const auto news = later();
    ASSERT_EQ(news.size(), 3U);
    EXPECT_EQ(news[0].news.outcome, WatchOutcome::Unusable);
    EXPECT_EQ(news[0].news.problem, firstProblem(broken));
    EXPECT_FALSE(news[0].news.problem.empty());
    EXPECT_EQ(news[0].news.text, broken);
    EXPECT_EQ(news[0].news.config.detection.sensitivity, 0.3f);  // the last good record
    EXPECT_TRUE(news[0].news.changedKeys.empty());
    // Reported only once it held the same bytes 100 ms after the first look.
    EXPECT_EQ(news[0].at, world_.at(220ms));
    // Another first problem is news too, once it has lasted as long.
    EXPECT_EQ(news[1].news.outcome, WatchOutcome::Unusable);
    EXPECT_EQ(news[1].news.problem, firstProblem(typing));
    EXPECT_NE(news[1].news.problem, news[0].news.problem);
    EXPECT_EQ(news[1].news.text, typing);
    EXPECT_EQ(news[1].at, world_.at(520ms));
    EXPECT_EQ(news[2].news.outcome, WatchOutcome::Read);
    EXPECT_EQ(news[2].news.changedKeys, Keys{"detection.sensitivity"});
}

TEST_F(WatchLogicTest, HalfWrittenFileCompletedSoonIsNotReportedAsUnusable) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    const std::string full = sensitivityDocument(0.5f);
    world_.save(100ms, "");  // truncated
    world_.save(130ms, full.substr(0, full.size() / 2));
    world_.save(190ms, full);
    world_.run(1s);
    const auto news = later();
    ASSERT_EQ(news.size(), 1U);
    EXPECT_EQ(news[0].news.outcome, WatchOutcome::Read);
}

TEST_F(WatchLogicTest, FileAbsentBrieflyIsNotReportedMissing) {
    const std::string text = sensitivityDocument(0.3f);
    world_.setFile(FileLook::Kind::Content, text);
    // An editor: the old file renamed away, the new one written 600 ms later.
    world_.remove(100ms);
    world_.save(700ms, text);
    world_.run(3s);
    EXPECT_TRUE(later().empty());
}

TEST_F(WatchLogicTest, FileAbsentForASecondIsReportedMissingWithTheDefaults) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    world_.remove(100ms);
    world_.save(3000ms, sensitivityDocument(0.3f));
    world_.run(4s);
    const auto news = later();
    ASSERT_EQ(news.size(), 2U);
    EXPECT_EQ(news[0].news.outcome, WatchOutcome::Missing);
    EXPECT_EQ(news[0].at, world_.at(1120ms));  // first seen absent at 120 ms, plus one second
    EXPECT_EQ(news[0].news.changedKeys, Keys{"detection.sensitivity"});
    EXPECT_EQ(news[0].news.config.detection.sensitivity, Config{}.detection.sensitivity);
    EXPECT_EQ(news[1].news.outcome, WatchOutcome::Read);
    EXPECT_EQ(news[1].news.changedKeys, Keys{"detection.sensitivity"});
}

TEST_F(WatchLogicTest, OverflowMakesTheWatcherLook) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    world_.save(100ms, sensitivityDocument(0.6f), WatchSignal::Overflow);
    world_.run(1s);
    const auto news = later();
    ASSERT_EQ(news.size(), 1U);
    EXPECT_EQ(news[0].news.config.detection.sensitivity, 0.6f);
}

// Changes that come without a notification, with the arm() result that makes the watcher poll.
class WatchPollingTest : public WatchLogicTest, public ::testing::WithParamInterface<WatchState> {};

TEST_P(WatchPollingTest, ChangeWithoutNotificationIsFoundByLookingEverySecond) {
    world_.armResults({GetParam()});
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    world_.save(1500ms, sensitivityDocument(0.6f), WatchSignal::Timeout);
    world_.run(3500ms);
    const auto& all = world_.published();
    ASSERT_EQ(all.size(), 2U);
    EXPECT_TRUE(all[0].news.polling);
    EXPECT_TRUE(all[1].news.polling);
    EXPECT_EQ(all[1].news.config.detection.sensitivity, 0.6f);
    EXPECT_EQ(all[1].at, world_.at(2000ms));
    // One look a second and no more.
    EXPECT_EQ(world_.reads().size(), 4U);
}

INSTANTIATE_TEST_SUITE_P(NoOrIncompleteNotifications, WatchPollingTest,
                         ::testing::Values(WatchState::Unsupported, WatchState::WatchingRemote),
                         [](const ::testing::TestParamInfo<WatchState>& info) {
                             return info.param == WatchState::Unsupported ? "Unsupported"
                                                                          : "Remote";
                         });

TEST_F(WatchLogicTest, IdleWatcherWithNotificationsNeverWakes) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    world_.run(std::chrono::minutes(10));
    EXPECT_EQ(world_.reads().size(), 1U);
    EXPECT_EQ(world_.published().size(), 1U);
}

TEST_F(WatchLogicTest, LostDirectoryWatchIsSetUpAgainWhenTheDirectoryComesBack) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    world_.act(99ms, [](ScriptedWorld& world) {
        world.armResults({WatchState::DirectoryMissing, WatchState::DirectoryMissing,
                          WatchState::DirectoryMissing, WatchState::DirectoryMissing,
                          WatchState::DirectoryMissing, WatchState::Watching});
    });
    world_.remove(100ms, WatchSignal::DirectoryGone);
    // The directory and the file come back without a notification (nothing watched them).
    world_.save(2000ms, sensitivityDocument(0.6f), WatchSignal::Timeout);
    world_.run(4s);
    // Armed at start, then at once, then after 0.1, 0.2, 0.4, 0.8 and 1 s.
    const std::vector<WatchTime> expectedArms{world_.at(0ms),   world_.at(100ms), world_.at(200ms),
                                              world_.at(400ms), world_.at(800ms), world_.at(1600ms),
                                              world_.at(2600ms)};
    EXPECT_EQ(world_.arms(), expectedArms);
    const auto news = later();
    ASSERT_EQ(news.size(), 2U);
    EXPECT_EQ(news[0].news.outcome, WatchOutcome::Missing);
    EXPECT_EQ(news[1].news.outcome, WatchOutcome::Read);
    EXPECT_EQ(news[1].at, world_.at(2620ms));  // armed again, then read after the settle time
}

TEST_F(WatchLogicTest, LockedFileIsReadAgainAfterTheLoadsPauses) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    world_.save(100ms, sensitivityDocument(0.6f));
    world_.act(110ms, [](ScriptedWorld& world) { world.lockNextReads(2); });
    world_.run(1s);
    const std::vector<WatchTime> expectedReads{world_.at(0ms), world_.at(120ms), world_.at(170ms),
                                               world_.at(220ms)};
    EXPECT_EQ(world_.reads(), expectedReads);
    const auto news = later();
    ASSERT_EQ(news.size(), 1U);
    EXPECT_EQ(news[0].news.outcome, WatchOutcome::Read);
}

TEST_F(WatchLogicTest, FileThatCannotBeReadIsReportedOnceAndLookedAtEverySecond) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    world_.act(100ms, [](ScriptedWorld& world) { world.lockNextReads(3); });
    world_.signal(100ms, WatchSignal::Changed);
    world_.act(500ms, [](ScriptedWorld& world) {
        world.setFile(FileLook::Kind::Failed, {}, "Permission denied");
    });
    world_.signal(500ms, WatchSignal::Changed);
    world_.act(2000ms, [](ScriptedWorld& world) {
        world.setFile(FileLook::Kind::Content, sensitivityDocument(0.6f));
    });
    world_.run(4s);
    const auto news = later();
    ASSERT_EQ(news.size(), 2U);
    EXPECT_EQ(news[0].news.outcome, WatchOutcome::Unreadable);
    EXPECT_EQ(news[0].news.problem, "another program holds it open without sharing");
    EXPECT_EQ(news[0].news.config.detection.sensitivity, 0.3f);
    EXPECT_EQ(news[1].news.outcome, WatchOutcome::Read);
    EXPECT_EQ(news[1].at, world_.at(2520ms));  // the look once a second since 520 ms
}

TEST_F(WatchLogicTest, StopDuringTheRetryPauseEndsTheLoopWithoutAnotherRead) {
    world_.setFile(FileLook::Kind::Content, sensitivityDocument(0.3f));
    world_.lockNextReads(3);
    world_.run(20ms);  // woken in the middle of the first 50 ms pause
    EXPECT_EQ(world_.reads().size(), 1U);
    EXPECT_TRUE(world_.published().empty());
}

TEST(ConfigNewsTest, ChangedMatchesAKeyOrItsSection) {
    ConfigNews news;
    news.changedKeys = {"audio.deviceId", "version"};
    EXPECT_TRUE(news.changed("audio"));
    EXPECT_TRUE(news.changed("audio.deviceId"));
    EXPECT_TRUE(news.changed("version"));
    EXPECT_FALSE(news.changed("audio.device"));
    EXPECT_FALSE(news.changed("aud"));
    EXPECT_FALSE(news.changed("detection"));
}

}  // namespace
}  // namespace detail
namespace detail {
namespace {

ConfigNews readNews(const Config& config) {
    ConfigNews news;
    news.config = config;
    return news;
}

// What the caller gets from the slot: changed keys against what it was told, with its own saves
// on top, and never a state older than an own save that finished before the take.
TEST(NewsSlotTest, ChangedKeysCompareWithWhatTheCallerHolds) {
    const Config inUse = withSensitivity(0.3f);
    NewsSlot slot(inUse);
    EXPECT_FALSE(slot.take({}).has_value());

    // Two news merged: a key that moved and came back is not listed; both others are.
    Config first = withSensitivity(0.5f);
    first.audio.bufferSizeMs = 20;
    Config second = withSensitivity(0.3f);
    second.audio.bufferSizeMs = 20;
    second.detection.fftSize = 4096;
    slot.put(readNews(first), 0);
    slot.put(readNews(second), 0);
    std::optional<ConfigNews> news = slot.take({});
    ASSERT_TRUE(news.has_value());
    EXPECT_EQ(news->changedKeys, (Keys{"audio.bufferSizeMs", "detection.fftSize"}));
    EXPECT_FALSE(slot.waiting());

    // The caller's own save since then changed sensitivity: a news that shows its value is
    // not news of it.
    Config own = second;
    own.detection.sensitivity = 0.9f;
    Config tray = own;
    tray.audio.deviceId = L"tray";
    slot.put(readNews(tray), 5);
    WatchLedger::OwnChanges changes;
    changes.values = {{"detection.sensitivity", nlohmann::json(0.9f).dump()}};
    changes.lastLanded = LandedSave{own, documentOf(own), 3};  // finished before the read
    news = slot.take(changes);
    ASSERT_TRUE(news.has_value());
    EXPECT_EQ(news->changedKeys, Keys{"audio.deviceId"});
    EXPECT_EQ(news->config.audio.deviceId, L"tray");
}

TEST(NewsSlotTest, NewsOlderThanAnOwnSaveCarriesThatSavesRecord) {
    const Config inUse = withSensitivity(0.3f);
    Config tray = inUse;
    tray.audio.deviceId = L"tray";
    Config updated = tray;  // the driver's update took the tray's change in
    updated.detection.sensitivity = 0.9f;
    WatchLedger::OwnChanges changes;
    changes.values = {{"detection.sensitivity", nlohmann::json(0.9f).dump()}};
    changes.lastLanded = LandedSave{updated, documentOf(updated), 8};

    NewsSlot slot(inUse);
    slot.put(readNews(tray), 7);  // read before the update finished
    std::optional<ConfigNews> news = slot.take(changes);
    ASSERT_TRUE(news.has_value());
    EXPECT_EQ(news->config.detection.sensitivity, 0.9f);  // not the old value back
    EXPECT_EQ(news->config.audio.deviceId, L"tray");
    EXPECT_EQ(news->changedKeys, Keys{"audio.deviceId"});
    EXPECT_EQ(news->text, documentOf(updated));

    // A plain save of the caller's record over an unusable file: the news of the file is
    // outdated; it carries the saved record and changes nothing for the caller.
    Config saved = updated;
    saved.detection.fftSize = 512;
    ConfigNews unusable = readNews(updated);
    unusable.outcome = WatchOutcome::Unusable;
    slot.put(unusable, 8);
    changes.values = {{"detection.fftSize", "512"}};
    changes.lastLanded = LandedSave{saved, documentOf(saved), 9};
    news = slot.take(changes);
    ASSERT_TRUE(news.has_value());
    EXPECT_EQ(news->outcome, WatchOutcome::Read);
    EXPECT_EQ(news->config.detection.fftSize, 512);
    EXPECT_TRUE(news->changedKeys.empty());
}

}  // namespace
}  // namespace detail
}  // namespace tarvik::driver
