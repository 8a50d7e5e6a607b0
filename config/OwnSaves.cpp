// The record of this process's own saves that its watchers consult.
#include "config/OwnSaves.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <system_error>

namespace tarvik::driver::detail {
namespace {

std::atomic<int> liveWatchers{0};
std::mutex ownSavesMutex;
std::map<std::filesystem::path, OwnSave> ownSaves;  // guarded by ownSavesMutex
std::uint64_t lastGeneration = 0;                   // guarded by ownSavesMutex

std::size_t hashOf(std::string_view text) {
    return std::hash<std::string_view>{}(text);
}

}  // namespace

bool OwnSave::holds(std::string_view text) const {
    return generation != 0 && text.size() == size && hashOf(text) == hash;
}

std::filesystem::path ownSaveKey(const std::filesystem::path& path) {
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return (absolute.empty() ? path : absolute).lexically_normal();
}

OwnSaveRecord::OwnSaveRecord(const std::filesystem::path& path, std::string_view text) {
    if (liveWatchers.load(std::memory_order_acquire) == 0) {
        return;
    }
    key_ = ownSaveKey(path);
    const OwnSave save{0, text.size(), hashOf(text), false};
    std::lock_guard<std::mutex> guard(ownSavesMutex);
    OwnSave& entry = ownSaves[key_];
    entry = save;
    entry.generation = generation_ = ++lastGeneration;
}

OwnSaveRecord::~OwnSaveRecord() {
    if (generation_ == 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(ownSavesMutex);
    const auto entry = ownSaves.find(key_);
    // A later save of the same file has taken the entry over: it is that save's to finish.
    if (entry != ownSaves.end() && entry->second.generation == generation_) {
        entry->second.finished = true;
    }
}

OwnSave lastOwnSave(const std::filesystem::path& key) {
    std::lock_guard<std::mutex> guard(ownSavesMutex);
    const auto entry = ownSaves.find(key);
    return entry == ownSaves.end() ? OwnSave{} : entry->second;
}

void watcherStarted() {
    liveWatchers.fetch_add(1, std::memory_order_acq_rel);
}

void watcherStopped() {
    if (liveWatchers.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> guard(ownSavesMutex);
        ownSaves.clear();  // keeps lastGeneration: generations never repeat
    }
}

}  // namespace tarvik::driver::detail
