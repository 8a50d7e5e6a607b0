// The watcher's decisions and its loop, apart from the OS.
#include "config/WatchLogic.h"

#include <algorithm>
#include <functional>
#include <utility>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigKeys.h>
#include "config/RecordRead.h"

namespace tarvik::driver::detail {
namespace {

using platform::WatchSignal;
using platform::WatchState;

// The document read onto the caller's defaults, as the update reads it; false when it is not
// usable. The parsed value is only read through references (see the load on deep nesting).
bool parseRecord(std::string_view text, const Config& defaults, Config& record) {
    const nlohmann::json document =
        nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    if (!document.is_object()) {
        return false;
    }
    try {
        record = readOntoDefaults(document, defaults);
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;  // the load would move such a file aside
    }
}

WatchTime later(WatchTime time, std::chrono::milliseconds delay) {
    return time >= WatchTime::max() - delay ? WatchTime::max() : time + delay;
}

// The keys of both lists, in the order of kConfigKeys.
std::vector<std::string> unionOfKeys(const std::vector<std::string>& first,
                                     const std::vector<std::string>& second) {
    std::vector<std::string> keys;
    for (const ConfigKey& key : kConfigKeys) {
        const auto named = [&key](const std::string& name) { return name == key.name; };
        if (std::any_of(first.begin(), first.end(), named) ||
            std::any_of(second.begin(), second.end(), named)) {
            keys.emplace_back(key.name);
        }
    }
    return keys;
}

// The dotted keys whose values differ between two documents written by to_json.
std::vector<std::string> changedKeysOf(const nlohmann::json& before, const nlohmann::json& after) {
    std::vector<std::string> keys;
    for (const ConfigKey& key : kConfigKeys) {
        if (valueOf(before, key) != valueOf(after, key)) {
            keys.emplace_back(key.name);
        }
    }
    return keys;
}

}  // namespace

std::vector<std::string> changedKeys(const Config& before, const Config& after) {
    return changedKeysOf(nlohmann::json(before), nlohmann::json(after));
}

std::string firstProblem(std::string_view text) {
    const ConfigCheck check = checkConfigText(text);
    const auto fatal = std::find_if(check.findings.begin(), check.findings.end(),
                                    [](const ConfigFinding& finding) { return finding.fatal(); });
    if (fatal != check.findings.end()) {
        return fatal->message;
    }
    return check.findings.empty() ? "not a settings document" : check.findings.front().message;
}

ReloadDecider::ReloadDecider(const WatchTimings& timings, const Config& inUse,
                             const Config& defaults)
    : timings_(timings), record_(inUse), defaults_(defaults) {}

void ReloadDecider::noteChange(WatchTime now, bool complete) {
    if (!firstChange_) {
        firstChange_ = now;
    }
    lastChange_ = now;
    completeSave_ = complete;
}

WatchTime ReloadDecider::nextLook() const {
    if (!looked_) {
        return WatchTime::min();
    }
    WatchTime next = WatchTime::max();
    if (firstChange_) {
        next = std::min({next, completeSave_ ? lastChange_ : later(lastChange_, timings_.settle),
                         later(*firstChange_, timings_.maxDelay)});
    }
    if (missingSince_) {
        next = std::min(next, later(*missingSince_, timings_.missingGrace));
    }
    if (pendingUnusable_) {
        next = std::min(next, confirmUnusableAt_);
    }
    if (polling_ || outcome_ == WatchOutcome::Unreadable) {
        next = std::min(next, later(lastLook_, timings_.pollInterval));
    }
    return next;
}

void ReloadDecider::beginLook(WatchTime now) {
    firstChange_.reset();
    completeSave_ = false;
    lastLook_ = now;
}

std::optional<ConfigNews> ReloadDecider::finishLook(WatchTime now, const FileLook& look,
                                                    const LedgerSnapshot& own,
                                                    std::vector<std::uint64_t>& accounted) {
    const bool initial = !looked_;
    looked_ = true;
    if (look.kind == FileLook::Kind::Content) {
        missingSince_.reset();
        return finishContent(now, look, own, accounted, initial);
    }
    // Not this process's content: every save that had finished before the read was overwritten
    // or removed by someone else since (or failed).
    const std::vector<std::string> takenIn =
        takeInOwnSaves(own, own.saves.size(), /*onlyFinished=*/true, accounted);
    switch (look.kind) {
        case FileLook::Kind::Content:
            break;
        case FileLook::Kind::Missing:
            pendingUnusable_.reset();
            if (!initial && outcome_ != WatchOutcome::Missing) {
                if (!missingSince_) {
                    missingSince_ = now;
                }
                if (now - *missingSince_ < timings_.missingGrace) {
                    return std::nullopt;  // perhaps an editor's save or a Windows swap
                }
            }
            missingSince_.reset();
            return report(WatchOutcome::Missing, defaults_, {}, {}, initial, takenIn);
        case FileLook::Kind::Locked:
        case FileLook::Kind::Failed:
            pendingUnusable_.reset();
            missingSince_.reset();
            return report(WatchOutcome::Unreadable, record_,
                          look.kind == FileLook::Kind::Locked
                              ? "another program holds it open without sharing"
                              : look.problem,
                          {}, initial, takenIn);
    }
    return std::nullopt;
}

std::vector<std::string> ReloadDecider::takeInOwnSaves(const LedgerSnapshot& own, std::size_t count,
                                                       bool onlyFinished,
                                                       std::vector<std::uint64_t>& accounted) {
    std::vector<std::string> takenIn;
    for (std::size_t index = 0; index < count; ++index) {
        const OwnSave& save = own.saves[index];
        const bool finished = save.finished() && save.finishedAt <= own.finishedUpTo;
        if (onlyFinished && !finished) {
            continue;
        }
        accounted.push_back(save.generation);
        if (!(save.landed || !finished) || !save.written) {
            continue;  // failed before its swap, or a raw text whose record is read below
        }
        if (save.base) {
            // An update starts from the file: what it read beyond the state last known here
            // came from another program.
            takenIn = unionOfKeys(takenIn, changedKeys(record_, *save.base));
        }
        outcome_ = WatchOutcome::Read;
        record_ = *save.written;
    }
    return takenIn;
}

std::optional<ConfigNews> ReloadDecider::finishContent(WatchTime now, const FileLook& look,
                                                       const LedgerSnapshot& own,
                                                       std::vector<std::uint64_t>& accounted,
                                                       bool initial) {
    Config record;
    const bool usable = parseRecord(look.text, defaults_, record);
    // The newest own save whose text this is: it and every earlier save are accounted for.
    std::size_t matched = own.saves.size();
    for (std::size_t index = own.saves.size(); index-- > 0;) {
        if (own.saves[index].holds(look.text)) {
            matched = index;
            break;
        }
    }
    if (matched < own.saves.size()) {
        const std::vector<std::string> takenIn =
            takeInOwnSaves(own, matched + 1, /*onlyFinished=*/false, accounted);
        if (usable) {
            pendingUnusable_.reset();
            if (initial || !takenIn.empty()) {
                return report(WatchOutcome::Read, record, {}, look.text, initial, takenIn);
            }
            // The process's own save: it knows what it wrote. Later changes compare with it.
            outcome_ = WatchOutcome::Read;
            record_ = record;
            return std::nullopt;
        }
    }
    const std::vector<std::string> takenIn =
        matched < own.saves.size()
            ? std::vector<std::string>{}
            : takeInOwnSaves(own, own.saves.size(), /*onlyFinished=*/true, accounted);
    if (usable) {
        pendingUnusable_.reset();
        return report(WatchOutcome::Read, record, {}, look.text, initial, takenIn);
    }
    // A new spell of unusable text, or another first problem in it (the comma fixed, a brace
    // still missing), is news once it has lasted.
    std::string problem = firstProblem(look.text);
    if (!initial && (outcome_ != WatchOutcome::Unusable || problem != problem_)) {
        const Digest digest{look.text.size(), std::hash<std::string_view>{}(look.text)};
        if (!pendingUnusable_ || !(*pendingUnusable_ == digest)) {
            pendingUnusable_ = digest;  // perhaps half-written: look again before reporting
            confirmUnusableAt_ = later(now, timings_.confirmUnusable);
            return std::nullopt;
        }
        if (now < confirmUnusableAt_) {
            return std::nullopt;
        }
    }
    pendingUnusable_.reset();
    return report(WatchOutcome::Unusable, record_, std::move(problem), look.text, initial, takenIn);
}

std::optional<ConfigNews> ReloadDecider::report(WatchOutcome outcome, const Config& record,
                                                std::string problem, std::string text, bool initial,
                                                const std::vector<std::string>& takenIn) {
    const bool replacesRecord = outcome == WatchOutcome::Read || outcome == WatchOutcome::Missing;
    std::vector<std::string> keys = takenIn;
    if (replacesRecord) {
        keys = unionOfKeys(keys, changedKeys(record_, record));
    }
    const bool newProblem = outcome == WatchOutcome::Unusable && problem != problem_;
    const bool newsworthy = initial || outcome != outcome_ || !keys.empty() ||
                            polling_ != pollingReported_ || newProblem;
    outcome_ = outcome;
    problem_ = outcome == WatchOutcome::Unusable ? problem : std::string();
    if (replacesRecord) {
        record_ = record;
    }
    if (!newsworthy) {
        return std::nullopt;
    }
    pollingReported_ = polling_;
    ConfigNews news;
    news.outcome = outcome;
    news.config = record_;
    news.changedKeys = std::move(keys);
    news.problem = std::move(problem);
    news.text = std::move(text);
    news.polling = polling_;
    news.initial = initial;
    return news;
}

namespace {

class WatchLoop {
public:
    WatchLoop(WatchEnvironment& environment, const WatchTimings& timings, const Config& inUse,
              const Config& defaults)
        : environment_(environment),
          timings_(timings),
          decider_(timings, inUse, defaults),
          rearmDelay_(timings.rearmFirst) {}

    void run() {
        arm(environment_.now());
        for (;;) {
            const WatchTime now = environment_.now();
            if (decider_.nextLook() <= now) {
                decider_.beginLook(now);
                LedgerSnapshot own;
                const std::optional<FileLook> look = lookWithRetries(own);
                if (!look) {
                    return;
                }
                std::vector<std::uint64_t> accounted;
                std::optional<ConfigNews> news =
                    decider_.finishLook(environment_.now(), *look, own, accounted);
                if (!accounted.empty()) {
                    environment_.accountFor(accounted);
                }
                if (news) {
                    environment_.publish(std::move(*news), own.finishedUpTo);
                }
                continue;
            }
            WatchTime until = decider_.nextLook();
            if (!armed_) {
                until = std::min(until, rearmAt_);
            }
            if (!handle(environment_.wait(until))) {
                return;
            }
            if (!armed_ && environment_.now() >= rearmAt_) {
                arm(environment_.now());
            }
        }
    }

private:
    // Takes in what a wait returned; false when the loop must end.
    bool handle(WatchSignal signal) {
        const WatchTime now = environment_.now();
        switch (signal) {
            case WatchSignal::Woken:
                return false;
            case WatchSignal::Changed:
            case WatchSignal::Overflow:  // records were lost: anything may have changed
                decider_.noteChange(now);
                break;
            case WatchSignal::CompleteSave:
                decider_.noteChange(now, /*complete=*/true);
                break;
            case WatchSignal::DirectoryGone:
                armed_ = false;
                rearmDelay_ = timings_.rearmFirst;
                rearmAt_ = now;  // at once: a directory moved away may have a successor
                decider_.noteChange(now);
                break;
            case WatchSignal::Timeout:
                break;
        }
        return true;
    }

    void arm(WatchTime now) {
        const platform::WatchArm result = environment_.arm();
        switch (result.state) {
            case WatchState::Watching:
            case WatchState::WatchingRemote:
                armed_ = true;
                rearmDelay_ = timings_.rearmFirst;
                setPolling(result.state == WatchState::WatchingRemote, now);
                decider_.noteChange(now);  // it may have changed while nothing watched
                break;
            case WatchState::DirectoryMissing:
                armed_ = false;
                rearmAt_ = later(now, rearmDelay_);
                rearmDelay_ = std::min(rearmDelay_ * 2, timings_.pollInterval);
                break;
            case WatchState::Unsupported:
                armed_ = false;
                rearmAt_ = WatchTime::max();
                setPolling(true, now);
                break;
        }
    }

    void setPolling(bool polling, WatchTime now) {
        if (decider_.polling() != polling) {
            decider_.setPolling(polling);
            decider_.noteChange(now);  // a look reports the change of mode
        }
    }

    // Reads the file, again after a pause while another program holds it without sharing;
    // nothing when the loop must end. `own` is the process's saves as of the last read.
    std::optional<FileLook> lookWithRetries(LedgerSnapshot& own) {
        for (int attempt = 1;; ++attempt) {
            own = environment_.ownSaves();  // before the read: see config/FileKnowledge.h
            FileLook look = environment_.read();
            if (look.kind != FileLook::Kind::Locked || attempt >= timings_.readAttempts) {
                return look;
            }
            const WatchTime resume = later(environment_.now(), timings_.retryPause);
            while (environment_.now() < resume) {
                if (!handle(environment_.wait(resume))) {
                    return std::nullopt;
                }
            }
        }
    }

    WatchEnvironment& environment_;
    WatchTimings timings_;
    ReloadDecider decider_;
    bool armed_ = false;
    WatchTime rearmAt_{};
    std::chrono::milliseconds rearmDelay_;
};

}  // namespace

void runWatchLoop(WatchEnvironment& environment, const WatchTimings& timings, const Config& inUse,
                  const Config& defaults) {
    WatchLoop(environment, timings, inUse, defaults).run();
}

NewsSlot::NewsSlot(const Config& inUse) : told_(inUse) {}

void NewsSlot::put(ConfigNews news, std::uint64_t asOf) {
    if (waiting_) {
        news.initial = news.initial || waiting_->initial;
    }
    waiting_ = std::move(news);
    asOf_ = asOf;
}

std::optional<ConfigNews> NewsSlot::take(WatchLedger::OwnChanges own) {
    if (!waiting_) {
        return std::nullopt;
    }
    ConfigNews news = std::move(*waiting_);
    waiting_.reset();
    // What the caller holds: what it was told, with the values its own saves wrote since.
    for (const auto& [name, value] : own.values) {
        const ConfigKey& key = *findConfigKey(name);
        nlohmann::json& section = key.section[0] == '\0' ? told_ : told_[key.section];
        section[key.key] = nlohmann::json::parse(value);
    }
    if (own.lastLanded && own.lastLanded->finishedAt > asOf_) {
        // A save of this process finished after the read that this news reports: the file
        // holds at least that save's record now.
        news.outcome = WatchOutcome::Read;
        news.config = own.lastLanded->written;
        news.text = own.lastLanded->text;
        news.problem.clear();
    }
    const bool replacesRecord =
        news.outcome == WatchOutcome::Read || news.outcome == WatchOutcome::Missing;
    if (replacesRecord) {
        nlohmann::json delivered = news.config;
        news.changedKeys = changedKeysOf(told_, delivered);
        told_ = std::move(delivered);
    } else {
        news.changedKeys.clear();  // the record in force stays: its changes come with the next
    }
    return news;
}

}  // namespace tarvik::driver::detail
