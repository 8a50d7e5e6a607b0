// The settings watcher: its thread runs the watch loop (config/WatchLogic.h) against the OS's
// directory notifications and the file, and leaves each news in a slot that the caller's
// thread takes from.
#include <tarvik/config/ConfigWatcher.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include <tarvik/config/ConfigKeys.h>
#include "config/FileKnowledge.h"
#include "config/WatchLogic.h"
#include "platform/DirectoryWatch.h"
#include "platform/File.h"

namespace tarvik::driver {

const char* describe(WatchOutcome outcome) {
    switch (outcome) {
        case WatchOutcome::Read:
            return "read";
        case WatchOutcome::Missing:
            return "missing";
        case WatchOutcome::Unusable:
            return "unusable";
        case WatchOutcome::Unreadable:
            return "unreadable";
    }
    return "unknown";
}

bool ConfigNews::changed(std::string_view keyOrSection) const {
    return std::any_of(
        changedKeys.begin(), changedKeys.end(), [keyOrSection](const std::string& key) {
            return key == keyOrSection ||
                   (key.size() > keyOrSection.size() && key[keyOrSection.size()] == '.' &&
                    std::string_view(key).substr(0, keyOrSection.size()) == keyOrSection);
        });
}

namespace {

// The watcher's thread. Made here, in a function of this file alone, so that the thread's
// function object has internal linkage: a driver .so must export nothing of the library, and
// the standard library's thread state for a lambda of a member function would be exported.
std::thread startWatching(detail::WatchEnvironment& environment, const Config& inUse,
                          const Config& defaults) {
    return std::thread([&environment, inUse, defaults] {
        try {
            detail::runWatchLoop(environment, detail::WatchTimings{}, inUse, defaults);
        } catch (const std::exception&) {
            // Out of memory: the watcher ends, the driver keeps the record it has.
        }
    });
}

}  // namespace

// The OS side of the loop, and the slot between the watcher's thread and the caller's.
class ConfigWatcher::Impl final : public detail::WatchEnvironment {
public:
    Impl(std::filesystem::path path, const Config& inUse)
        : path_(std::move(path)), ledger_(path_), slot_(inUse) {}

    detail::WatchTime now() override { return detail::WatchClock::now(); }

    platform::WatchArm arm() override { return watch_.arm(path_); }

    platform::WatchSignal wait(detail::WatchTime deadline) override {
        if (deadline == detail::WatchTime::max()) {
            return watch_.wait(std::chrono::milliseconds(-1));
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now());
        return watch_.wait(std::max(left, std::chrono::milliseconds(0)));
    }

    detail::FileLook read() override {
        detail::FileLook look;
        const platform::ReadResult result = platform::readWholeFile(path_, look.text);
        if (result.status == platform::ReadStatus::Ok) {
            look.kind = detail::FileLook::Kind::Content;
        } else if (result.status == platform::ReadStatus::SharingViolation) {
            look.kind = detail::FileLook::Kind::Locked;
        } else if (platform::isNotFound(result.error)) {
            look.kind = detail::FileLook::Kind::Missing;
        } else {
            look.kind = detail::FileLook::Kind::Failed;
            look.problem = platform::errorText(result.error);
        }
        return look;
    }

    detail::LedgerSnapshot ownSaves() override { return ledger_.snapshot(); }

    void accountFor(const std::vector<std::uint64_t>& generations) override {
        ledger_.accountFor(generations);
    }

    void publish(ConfigNews news, std::uint64_t asOf) override {
        news.sequence = ++published_;
        std::lock_guard<std::mutex> guard(mutex_);
        slot_.put(std::move(news), asOf);
        fresh_.store(true, std::memory_order_release);
        arrived_.notify_all();
    }

    void start(const Config& inUse, const Config& defaults) {
        thread_ = startWatching(*this, inUse, defaults);
    }

    void stop() {
        std::lock_guard<std::mutex> stopping(stopMutex_);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopped_ = true;
            arrived_.notify_all();
        }
        if (thread_.joinable()) {
            watch_.wake();
            thread_.join();
        }
    }

    bool hasNews() const noexcept { return fresh_.load(std::memory_order_acquire); }

    std::optional<ConfigNews> take() {
        if (!hasNews()) {
            return std::nullopt;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        fresh_.store(false, std::memory_order_relaxed);
        if (!slot_.waiting()) {
            return std::nullopt;
        }
        return slot_.take(ledger_.takeOwnChanges());
    }

    bool waitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> guard(mutex_);
        arrived_.wait_for(guard, timeout, [this] { return slot_.waiting() || stopped_; });
        return slot_.waiting();
    }

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    const std::filesystem::path path_;
    detail::WatchLedger ledger_;      // registered before the thread starts, so no save is missed
    platform::DirectoryWatch watch_;  // its wake() is the only part other threads touch
    std::uint64_t published_ = 0;     // the watcher's thread only

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    detail::NewsSlot slot_;  // guarded by mutex_
    bool stopped_ = false;   // guarded by mutex_
    // Set (release) after news is put into the slot, cleared when it is taken: hasNews() reads
    // it without the lock.
    std::atomic<bool> fresh_{false};

    std::mutex stopMutex_;  // stop() from two threads at once joins once
    std::thread thread_;
};

ConfigWatcher::ConfigWatcher(std::filesystem::path path, const Config& inUse)
    : ConfigWatcher(std::move(path), inUse, Config{}) {}

ConfigWatcher::ConfigWatcher(std::filesystem::path path, const Config& inUse,
                             const Config& defaults)
    : impl_(std::make_unique<Impl>(std::move(path), inUse)) {
    impl_->start(inUse, defaults);
}

ConfigWatcher::~ConfigWatcher() {
    impl_->stop();
}

bool ConfigWatcher::hasNews() const noexcept {
    return impl_->hasNews();
}

std::optional<ConfigNews> ConfigWatcher::takeNews() {
    return impl_->take();
}

bool ConfigWatcher::waitForNews(std::chrono::milliseconds timeout) {
    return impl_->waitFor(timeout);
}

void ConfigWatcher::stop() {
    impl_->stop();
}

const std::filesystem::path& ConfigWatcher::path() const noexcept {
    return impl_->path();
}

}  // namespace tarvik::driver
