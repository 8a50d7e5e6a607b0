// What this process last wrote to each settings file, so that a watcher in the same process can
// tell the process's own saves from other programs' changes by content, never by a time window
// (a window also swallows another program's change that happens to fall into it). Internal to
// the configuration library.
//
// A save records its document before it writes anything and marks it finished when it returns,
// whether it succeeded or not; a watcher takes a snapshot before each read of the file. Content
// that matches a save the watcher has not yet accounted for is the process's own; once the
// watcher has seen that save's content, or other content after the save finished, the same
// bytes written by another program count as a change again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tarvik::driver::detail {

// The last document this process began to save to one file.
struct OwnSave {
    std::uint64_t generation = 0;  // 0: none yet; grows with every recorded save in the process
    std::size_t size = 0;
    std::size_t hash = 0;
    bool finished = true;  // the save has returned (the swap happened, or it failed)

    bool holds(std::string_view text) const;
};

// Where saves and watchers of one file meet: the absolute, normalised path. Spellings that
// differ otherwise (case on Windows, links) do not meet; the watcher then reports the save.
std::filesystem::path ownSaveKey(const std::filesystem::path& path);

// Records a save of `text` to `path` for its scope, while a watcher lives in this process;
// without one it costs one atomic load.
class OwnSaveRecord {
public:
    OwnSaveRecord(const std::filesystem::path& path, std::string_view text);
    ~OwnSaveRecord();
    OwnSaveRecord(const OwnSaveRecord&) = delete;
    OwnSaveRecord& operator=(const OwnSaveRecord&) = delete;

private:
    std::filesystem::path key_;
    std::uint64_t generation_ = 0;  // 0: nothing recorded
};

// The last save recorded for `key` (generation 0 when none).
OwnSave lastOwnSave(const std::filesystem::path& key);

// Each watcher counts itself for its lifetime; saves are recorded only while the count is not 0.
void watcherStarted();
void watcherStopped();

}  // namespace tarvik::driver::detail
