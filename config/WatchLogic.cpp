// The watcher's decisions and its loop, apart from the OS.
#include "config/WatchLogic.h"

#include <algorithm>
#include <functional>
#include <utility>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigKeys.h>

namespace tarvik::driver::detail {
namespace {

using platform::WatchSignal;
using platform::WatchState;

// The document overlaid onto the defaults, as the load reads it; false when it is not usable.
// The parsed value is only read through references (see the load on deep nesting).
bool parseRecord(std::string_view text, Config& record) {
    const nlohmann::json document =
        nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    if (!document.is_object()) {
        return false;
    }
    try {
        from_json(document, record);
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;  // the load would move such a file aside
    }
}

const nlohmann::json& valueOf(const nlohmann::json& document, const ConfigKey& key) {
    return key.section[0] == '\0' ? document.at(key.key) : document.at(key.section).at(key.key);
}

WatchTime later(WatchTime time, std::chrono::milliseconds delay) {
    return time >= WatchTime::max() - delay ? WatchTime::max() : time + delay;
}

}  // namespace

std::vector<std::string> changedKeys(const Config& before, const Config& after) {
    const nlohmann::json old = before;
    const nlohmann::json now = after;
    std::vector<std::string> keys;
    for (const ConfigKey& key : kConfigKeys) {
        if (valueOf(old, key) != valueOf(now, key)) {
            keys.emplace_back(key.name);
        }
    }
    return keys;
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

ReloadDecider::ReloadDecider(const WatchTimings& timings, const Config& inUse)
    : timings_(timings), record_(inUse) {}

void ReloadDecider::noteChange(WatchTime now) {
    if (!firstChange_) {
        firstChange_ = now;
    }
    lastChange_ = now;
}

WatchTime ReloadDecider::nextLook() const {
    if (!looked_) {
        return WatchTime::min();
    }
    WatchTime next = WatchTime::max();
    if (firstChange_) {
        next = std::min(
            {next, later(lastChange_, timings_.settle), later(*firstChange_, timings_.maxDelay)});
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
    lastLook_ = now;
}

std::optional<ConfigNews> ReloadDecider::finishLook(WatchTime now, const FileLook& look,
                                                    const OwnSave& own) {
    const bool initial = !looked_;
    looked_ = true;
    switch (look.kind) {
        case FileLook::Kind::Content:
            missingSince_.reset();
            return finishContent(now, look, own, initial);
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
            return report(WatchOutcome::Missing, Config{}, {}, {}, initial);
        case FileLook::Kind::Locked:
        case FileLook::Kind::Failed:
            pendingUnusable_.reset();
            missingSince_.reset();
            return report(WatchOutcome::Unreadable, record_,
                          look.kind == FileLook::Kind::Locked
                              ? "another program holds it open without sharing"
                              : look.problem,
                          {}, initial);
    }
    return std::nullopt;
}

std::optional<ConfigNews> ReloadDecider::finishContent(WatchTime now, const FileLook& look,
                                                       const OwnSave& own, bool initial) {
    Config record;
    const bool usable = parseRecord(look.text, record);
    if (own.generation > ownGenerationSeen_) {
        if (own.holds(look.text)) {
            // The process's own save: it knows what it wrote. Later changes compare with it.
            ownGenerationSeen_ = own.generation;
            if (usable && !initial) {
                pendingUnusable_.reset();
                outcome_ = WatchOutcome::Read;
                record_ = record;
                return std::nullopt;
            }
        } else if (own.finished) {
            // The save is done and the file holds something else: another program wrote after
            // it. Should that program write the same bytes again later, that is a change.
            ownGenerationSeen_ = own.generation;
        }
    }
    if (usable) {
        pendingUnusable_.reset();
        return report(WatchOutcome::Read, record, {}, look.text, initial);
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
    return report(WatchOutcome::Unusable, record_, std::move(problem), look.text, initial);
}

std::optional<ConfigNews> ReloadDecider::report(WatchOutcome outcome, const Config& record,
                                                std::string problem, std::string text,
                                                bool initial) {
    const bool replacesRecord = outcome == WatchOutcome::Read || outcome == WatchOutcome::Missing;
    std::vector<std::string> keys;
    if (replacesRecord) {
        keys = changedKeys(record_, record);
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
    WatchLoop(WatchEnvironment& environment, const WatchTimings& timings, const Config& inUse)
        : environment_(environment),
          timings_(timings),
          decider_(timings, inUse),
          rearmDelay_(timings.rearmFirst) {}

    void run() {
        arm(environment_.now());
        for (;;) {
            const WatchTime now = environment_.now();
            if (decider_.nextLook() <= now) {
                decider_.beginLook(now);
                OwnSave own;
                const std::optional<FileLook> look = lookWithRetries(own);
                if (!look) {
                    return;
                }
                if (std::optional<ConfigNews> news =
                        decider_.finishLook(environment_.now(), *look, own)) {
                    environment_.publish(std::move(*news));
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
    // nothing when the loop must end. `own` is the process's last save as of the last read.
    std::optional<FileLook> lookWithRetries(OwnSave& own) {
        for (int attempt = 1;; ++attempt) {
            own = environment_.ownSave();  // before the read: see config/OwnSaves.h
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

void runWatchLoop(WatchEnvironment& environment, const WatchTimings& timings, const Config& inUse) {
    WatchLoop(environment, timings, inUse).run();
}

}  // namespace tarvik::driver::detail
