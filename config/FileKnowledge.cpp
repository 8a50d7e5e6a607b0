// The process-wide registry of own saves and the watchers' ledgers (config/FileKnowledge.h).
#include "config/FileKnowledge.h"

#include <algorithm>
#include <functional>
#include <map>
#include <new>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigKeys.h>
#include "config/RecordRead.h"

namespace tarvik::driver::detail {
namespace {

// The saves in progress and the live ledgers, per file. Made once and never destroyed: a watcher
// held by a static object (or a module's) may save and stop after this file's own static objects
// would have been destroyed.
struct Registry {
    std::mutex mutex;
    std::uint64_t lastGeneration = 0;
    std::uint64_t lastFinish = 0;
    std::map<std::filesystem::path, std::vector<OwnSave>> inProgress;
    std::multimap<std::filesystem::path, WatchLedger*> ledgers;
};

Registry& registry() {
    static Registry* const instance = new Registry;  // deliberately never deleted
    return *instance;
}

// Dotted key -> value text of every key whose value `written` changed from `base` (every key
// when there is no base: a plain save writes the caller's whole record).
void appendOwnValues(const std::optional<Config>& base, const Config& written,
                     std::vector<std::pair<std::string, std::string>>& values) {
    const nlohmann::json after = written;
    const nlohmann::json before = base ? nlohmann::json(*base) : nlohmann::json();
    for (const ConfigKey& key : kConfigKeys) {
        const nlohmann::json& value = valueOf(after, key);
        if (base && valueOf(before, key) == value) {
            continue;
        }
        const auto same = std::find_if(values.begin(), values.end(), [&key](const auto& entry) {
            return entry.first == key.name;
        });
        if (same != values.end()) {
            same->second = value.dump();
        } else {
            values.emplace_back(key.name, value.dump());
        }
    }
}

}  // namespace

std::size_t contentHash(std::string_view text) {
    return std::hash<std::string_view>{}(text);
}

bool OwnSave::holds(std::string_view text) const {
    return text.size() == size && contentHash(text) == hash;
}

std::filesystem::path knowledgeKey(const std::filesystem::path& path) {
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return (absolute.empty() ? path : absolute).lexically_normal();
}

WatchLedger::WatchLedger(const std::filesystem::path& path) : key_(knowledgeKey(path)) {
    Registry& shared = registry();
    std::lock_guard<std::mutex> guard(shared.mutex);
    if (const auto found = shared.inProgress.find(key_); found != shared.inProgress.end()) {
        unaccounted_ = found->second;
    }
    shared.ledgers.emplace(key_, this);
}

WatchLedger::~WatchLedger() {
    Registry& shared = registry();
    std::lock_guard<std::mutex> guard(shared.mutex);
    const auto [first, last] = shared.ledgers.equal_range(key_);
    for (auto entry = first; entry != last; ++entry) {
        if (entry->second == this) {
            shared.ledgers.erase(entry);
            break;
        }
    }
}

LedgerSnapshot WatchLedger::snapshot() const {
    LedgerSnapshot snapshot;
    {
        // The finish count first: a save that finishes after it is not counted as finished,
        // even when the copy below already shows it finished.
        Registry& shared = registry();
        std::lock_guard<std::mutex> guard(shared.mutex);
        snapshot.finishedUpTo = shared.lastFinish;
        std::lock_guard<std::mutex> own(mutex_);
        snapshot.saves = unaccounted_;
    }
    return snapshot;
}

void WatchLedger::accountFor(const std::vector<std::uint64_t>& generations) {
    std::lock_guard<std::mutex> guard(mutex_);
    unaccounted_.erase(std::remove_if(unaccounted_.begin(), unaccounted_.end(),
                                      [&generations](const OwnSave& save) {
                                          return std::find(generations.begin(), generations.end(),
                                                           save.generation) != generations.end();
                                      }),
                       unaccounted_.end());
}

WatchLedger::OwnChanges WatchLedger::takeOwnChanges() {
    std::lock_guard<std::mutex> guard(mutex_);
    OwnChanges changes;
    changes.values.swap(ownValues_);
    changes.lastLanded = lastLanded_;
    return changes;
}

void WatchLedger::saveBegan(const OwnSave& save) {
    std::lock_guard<std::mutex> guard(mutex_);
    unaccounted_.push_back(save);
}

void WatchLedger::saveFinished(const OwnSave& save, const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto entry = std::find_if(
        unaccounted_.begin(), unaccounted_.end(),
        [&save](const OwnSave& waiting) { return waiting.generation == save.generation; });
    if (entry != unaccounted_.end()) {  // else the watcher has seen its content already
        entry->finishedAt = save.finishedAt;
        entry->landed = save.landed;
    }
    if (save.landed && save.written) {
        appendOwnValues(save.base, *save.written, ownValues_);
        lastLanded_ = LandedSave{*save.written, text, save.finishedAt};
    }
}

OwnSaveRecord::OwnSaveRecord(const std::filesystem::path& path, const std::string& text,
                             const Config* base, const Config* written)
    : key_(knowledgeKey(path)), text_(text) {
    save_.size = text.size();
    save_.hash = contentHash(text);
    if (base != nullptr) {
        save_.base = *base;
    }
    if (written != nullptr) {
        save_.written = *written;
    }
    Registry& shared = registry();
    std::lock_guard<std::mutex> guard(shared.mutex);
    save_.generation = ++shared.lastGeneration;
    const auto [first, last] = shared.ledgers.equal_range(key_);
    for (auto entry = first; entry != last; ++entry) {
        entry->second->saveBegan(save_);
    }
    shared.inProgress[key_].push_back(save_);
}

OwnSaveRecord::~OwnSaveRecord() {
    // Nothing may escape a destructor. Marking the save finished and removing it from the saves
    // in progress allocate nothing; should the ledgers' copies of what it wrote run out of
    // memory, a watcher may list one of this save's keys as changed, and nothing worse.
    try {
        Registry& shared = registry();
        std::lock_guard<std::mutex> guard(shared.mutex);
        save_.finishedAt = ++shared.lastFinish;
        save_.landed = landed_;
        const auto [first, last] = shared.ledgers.equal_range(key_);
        for (auto entry = first; entry != last; ++entry) {
            try {
                entry->second->saveFinished(save_, text_);
            } catch (const std::bad_alloc&) {
            }
        }
        if (const auto saves = shared.inProgress.find(key_); saves != shared.inProgress.end()) {
            std::vector<OwnSave>& list = saves->second;
            const std::uint64_t generation = save_.generation;
            list.erase(std::remove_if(list.begin(), list.end(),
                                      [generation](const OwnSave& save) {
                                          return save.generation == generation;
                                      }),
                       list.end());
            if (list.empty()) {
                shared.inProgress.erase(saves);
            }
        }
    } catch (...) {
        // The registry's lock could not be taken: the process is beyond keeping records.
    }
}

}  // namespace tarvik::driver::detail
