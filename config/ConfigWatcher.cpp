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
#include "config/OwnSaves.h"
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

// The watcher's thread. Made here, in a function of this file alone, so that the thread's
// function object has internal linkage: a driver .so must export nothing of the library, and
// the standard library's thread state for a lambda of a member function would be exported.
std::thread startWatching(detail::WatchEnvironment& environment, const Config& inUse) {
    return std::thread([&environment, inUse] {
        try {
            detail::runWatchLoop(environment, detail::WatchTimings{}, inUse);
        } catch (const std::exception&) {
            // Out of memory: the watcher ends, the driver keeps the record it has.
        }
    });
}

}  // namespace

// The OS side of the loop, and the slot between the watcher's thread and the caller's.
class ConfigWatcher::Impl final : public detail::WatchEnvironment {
public:
    explicit Impl(std::filesystem::path path)
        : path_(std::move(path)), ownSaveKey_(detail::ownSaveKey(path_)) {}

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

    detail::OwnSave ownSave() override { return detail::lastOwnSave(ownSaveKey_); }

    void publish(ConfigNews news) override {
        news.sequence = ++published_;
        std::lock_guard<std::mutex> guard(mutex_);
        if (waiting_) {
            // Not taken yet: the caller gets the newest state with every key changed since the
            // news it took last.
            news.changedKeys = unionOfKeys(waiting_->changedKeys, news.changedKeys);
            news.initial = news.initial || waiting_->initial;
        }
        waiting_ = std::move(news);
        fresh_.store(true, std::memory_order_release);
        arrived_.notify_all();
    }

    void start(const Config& inUse) { thread_ = startWatching(*this, inUse); }

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
        std::optional<ConfigNews> news = std::move(waiting_);
        waiting_.reset();
        fresh_.store(false, std::memory_order_relaxed);
        return news;
    }

    bool waitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> guard(mutex_);
        arrived_.wait_for(guard, timeout, [this] { return waiting_.has_value() || stopped_; });
        return waiting_.has_value();
    }

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    const std::filesystem::path path_;
    const std::filesystem::path ownSaveKey_;
    platform::DirectoryWatch watch_;  // its wake() is the only part other threads touch
    std::uint64_t published_ = 0;     // the watcher's thread only

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::optional<ConfigNews> waiting_;  // guarded by mutex_
    bool stopped_ = false;               // guarded by mutex_
    // Set (release) after news is put into the slot, cleared when it is taken: hasNews() reads
    // it without the lock.
    std::atomic<bool> fresh_{false};

    std::mutex stopMutex_;  // stop() from two threads at once joins once
    std::thread thread_;
};

ConfigWatcher::ConfigWatcher(std::filesystem::path path, const Config& inUse)
    : impl_(std::make_unique<Impl>(std::move(path))) {
    detail::watcherStarted();  // before the first read, so that every later save is recorded
    try {
        impl_->start(inUse);
    } catch (...) {
        detail::watcherStopped();
        throw;
    }
}

ConfigWatcher::~ConfigWatcher() {
    impl_->stop();
    detail::watcherStopped();
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
