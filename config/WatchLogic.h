// The watcher's decisions, apart from the OS: when to look at the file, what counts as news, and
// the loop that ties them to the OS's notifications. Internal to the configuration library.
//
// ReloadDecider is a plain state machine fed with times, notifications and what each look at the
// file found. runWatchLoop() drives it through a WatchEnvironment: the OS in production
// (config/ConfigWatcher.cpp), a scripted clock, event source and file in the unit tests, which
// run the very same loop without threads or sleeps.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigWatcher.h>
#include "config/FileKnowledge.h"
#include "platform/DirectoryWatch.h"

namespace tarvik::driver::detail {

using WatchClock = std::chrono::steady_clock;
using WatchTime = WatchClock::time_point;

struct WatchTimings {
    // A change is read once the file has been quiet this long: a writer that truncates and then
    // writes in pieces is read when it is done, and a save 50 ms after another is still seen.
    // A save that is complete when it is notified (renamed into place, closed by its last
    // writer) is read at once.
    std::chrono::milliseconds settle{20};
    // ... and at the latest this long after the first change of a burst, so that a stream of
    // saves still gives news now and then.
    std::chrono::milliseconds maxDelay{200};
    // A document that does not parse is reported only if it still holds the same bytes this
    // much later (a half-written file is usually complete by then).
    std::chrono::milliseconds confirmUnusable{100};
    // A file is reported missing only if it stays absent this long (editors rename the old
    // file away before they write the new one; a Windows swap hides the name for a moment).
    std::chrono::milliseconds missingGrace{1000};
    // Without (complete) notifications, and while the file is unreadable, it is looked at
    // this often.
    std::chrono::milliseconds pollInterval{1000};
    // A watch that could not be set up because the directory is missing is tried again after
    // this long, then twice as long each time, up to pollInterval.
    std::chrono::milliseconds rearmFirst{100};
    // The load's retries of a file held open without sharing.
    std::chrono::milliseconds retryPause{50};
    int readAttempts = 3;
};

// What one look at the file found.
struct FileLook {
    enum class Kind : unsigned char {
        Content,  // the file was read: `text`
        Missing,  // no file (or no directory)
        Locked,   // held open without sharing by another program (one attempt)
        Failed,   // could not be read for another reason: `problem`
    };
    Kind kind = Kind::Missing;
    std::string text;
    std::string problem;
};

class ReloadDecider {
public:
    // `inUse` is the caller's record as the watch begins; `defaults` what a key missing from the
    // file gives (the caller's defaults).
    ReloadDecider(const WatchTimings& timings, const Config& inUse, const Config& defaults);

    // Whether the file must be looked at every pollInterval (notifications missing or
    // incomplete). Reported with the next news.
    void setPolling(bool polling) { polling_ = polling; }
    bool polling() const { return polling_; }

    // Something may have changed the file (a notification, an overflow, a lost watch). A
    // `complete` save (a file renamed onto the name, the last writer's close) is looked at at
    // once; any other change waits for the settle time, and cancels a complete save noted before
    // it but not yet looked at (the file is being written again).
    void noteChange(WatchTime now, bool complete = false);

    // When the file should next be looked at: WatchTime::min() for at once, WatchTime::max()
    // when only a change can call for a look.
    WatchTime nextLook() const;

    // A look begins: changes noted from now on call for another look.
    void beginLook(WatchTime now);

    // What the look found, with the process's own saves as they were just before the read
    // (config/FileKnowledge.h); the news to report, if any. `accounted` receives the saves that
    // this look accounted for.
    std::optional<ConfigNews> finishLook(WatchTime now, const FileLook& look,
                                         const LedgerSnapshot& own,
                                         std::vector<std::uint64_t>& accounted);

private:
    struct Digest {
        std::size_t size = 0;
        std::size_t hash = 0;
        bool operator==(const Digest& other) const {
            return size == other.size && hash == other.hash;
        }
    };

    std::optional<ConfigNews> finishContent(WatchTime now, const FileLook& look,
                                            const LedgerSnapshot& own,
                                            std::vector<std::uint64_t>& accounted, bool initial);
    // Takes the accounted own saves in: the record in force becomes what they wrote; returns the
    // keys that an update among them took in from another program.
    std::vector<std::string> takeInOwnSaves(const LedgerSnapshot& own, std::size_t count,
                                            bool onlyFinished,
                                            std::vector<std::uint64_t>& accounted);
    std::optional<ConfigNews> report(WatchOutcome outcome, const Config& record,
                                     std::string problem, std::string text, bool initial,
                                     const std::vector<std::string>& takenIn = {});

    WatchTimings timings_;
    bool looked_ = false;
    bool polling_ = false;
    bool pollingReported_ = false;
    std::optional<WatchTime> firstChange_;  // the first change not yet looked at
    bool completeSave_ = false;             // ... and it was (the last of them) a complete save
    WatchTime lastChange_{};
    std::optional<WatchTime> missingSince_;  // absent, not yet reported
    std::optional<Digest> pendingUnusable_;  // unusable, not yet reported
    WatchTime confirmUnusableAt_{};
    WatchTime lastLook_{};
    // The state last reported (or saved by this process): outcome and the record in force.
    WatchOutcome outcome_ = WatchOutcome::Read;
    Config record_;
    Config defaults_;
    std::string problem_;  // while Unusable: the first problem reported
};

// What the loop needs from the world.
class WatchEnvironment {
public:
    virtual ~WatchEnvironment() = default;
    virtual WatchTime now() = 0;
    // Sets up (again) the notifications for the file's directory.
    virtual platform::WatchArm arm() = 0;
    // Waits for a notification, a wake-up or `deadline` (WatchTime::max(): no limit).
    virtual platform::WatchSignal wait(WatchTime deadline) = 0;
    // One attempt to read the whole file.
    virtual FileLook read() = 0;
    // This process's saves of the file not yet accounted for (config/FileKnowledge.h), and
    // those that a look accounted for.
    virtual LedgerSnapshot ownSaves() = 0;
    virtual void accountFor(const std::vector<std::uint64_t>& generations) = 0;
    // `asOf`: the snapshot's finishedUpTo before the read that the news reports.
    virtual void publish(ConfigNews news, std::uint64_t asOf) = 0;
};

// Watches until the environment's wait() says Woken: the first look at once (always
// reported), then a look whenever the decider calls for one; a file held open without sharing
// is read again after a pause (a wake-up ends the pause and the loop). A lost watch is set up
// again, at once and then after growing pauses while the directory is missing.
void runWatchLoop(WatchEnvironment& environment, const WatchTimings& timings, const Config& inUse,
                  const Config& defaults);

// The dotted keys whose values differ between two records, in the order of kConfigKeys.
std::vector<std::string> changedKeys(const Config& before, const Config& after);

// The message of the first finding that makes `text` unusable.
std::string firstProblem(std::string_view text);

// The slot between the watcher's thread and the caller's: holds the newest news not yet taken,
// and hands it over corrected by what this process saved since (config/FileKnowledge.h, rule
// 5). Changed keys are computed when the news is taken, against what the caller was told last
// with the caller's own saves on top, so that a merged news lists only the keys whose values
// really moved, and never a key that only this process changed. Not thread-safe: the watcher
// guards it.
class NewsSlot {
public:
    explicit NewsSlot(const Config& inUse);

    bool waiting() const { return waiting_.has_value(); }
    void put(ConfigNews news, std::uint64_t asOf);
    // The news waiting, corrected; nothing when none is waiting. A news that a save of this
    // process has overtaken is still handed over (the caller asked hasNews() and may rely on a
    // news), with that save's record and only the keys that differ from what the caller holds.
    std::optional<ConfigNews> take(WatchLedger::OwnChanges own);

private:
    std::optional<ConfigNews> waiting_;
    std::uint64_t asOf_ = 0;
    nlohmann::json told_;  // the record the caller holds as far as the watcher can tell
};

}  // namespace tarvik::driver::detail
