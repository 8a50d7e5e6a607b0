// What this process knows each settings file holds: every save it made that a watcher has not
// yet accounted for, with the record the save started from and the record it wrote. The save,
// the update and the watcher meet here, and nowhere else. Internal to the configuration library.
//
// The rules, which every party keeps:
// 1. A save is recorded (OwnSaveRecord) under the saves' lock, before its temporary file is
//    opened, and is marked finished when it returns: landed when its text was swapped into place,
//    not landed when it failed before that. Saves are recorded whether or not a watcher lives,
//    so that a save that began before a watcher started is still the process's own.
// 2. Each watcher has a ledger of its file (WatchLedger), registered for the watcher's lifetime.
//    A new ledger starts with the saves still in progress; saves that finished before are part of
//    the record the caller handed the watcher.
// 3. Before each read of the file the watcher takes a snapshot of its ledger. Content that holds
//    the text of a save in the snapshot is the process's own: that save and every earlier one are
//    accounted for. Other content accounts for every save that had finished at the snapshot: the
//    file was written by someone else after them. Saves still in progress at the snapshot stay.
// 4. An update that started from a usable document records that document's record as its base.
//    Whatever differs between the watcher's last state and that base was taken in from another
//    program: it is news, although the content is the process's own.
// 5. On the taking side the ledger keeps, for the keys this process's saves changed since the
//    driver last took news, the values they wrote, and the last save that landed. A news taken
//    after a save that finished later than the news's snapshot is replaced by that save's
//    record: a news never carries a state older than an own save that finished before it was
//    taken.
// Content is compared by size and hash of the bytes; paths meet by their absolute, normalised
// form (another spelling of the same file, such as a symbolic link, does not meet).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tarvik/config/Config.h>

namespace tarvik::driver::detail {

// One save of this process, as its watchers see it.
struct OwnSave {
    std::uint64_t generation = 0;  // grows with every save in the process; never 0
    std::size_t size = 0;          // of the text written
    std::size_t hash = 0;
    std::optional<Config> base;     // an update's record read from a usable document
    std::optional<Config> written;  // the record written; none for a raw text save
    std::uint64_t finishedAt = 0;   // 0 while in progress; grows with every finish in the process
    bool landed = false;            // the text was swapped into place

    bool finished() const { return finishedAt != 0; }
    bool holds(std::string_view text) const;
};

// The hash that OwnSave::holds() compares.
std::size_t contentHash(std::string_view text);

// The key under which saves and watchers of one file meet.
std::filesystem::path knowledgeKey(const std::filesystem::path& path);

// What a watcher's thread sees before a read.
struct LedgerSnapshot {
    std::vector<OwnSave> saves;      // not yet accounted for, oldest first
    std::uint64_t finishedUpTo = 0;  // every save with finishedAt <= this had finished
};

// The last own save that landed, for the taking side.
struct LandedSave {
    Config written;
    std::string text;
    std::uint64_t finishedAt = 0;
};

// One watcher's view of this process's saves of its file. Registered while it lives; every
// member may be called from any thread.
class WatchLedger {
public:
    explicit WatchLedger(const std::filesystem::path& path);
    ~WatchLedger();
    WatchLedger(const WatchLedger&) = delete;
    WatchLedger& operator=(const WatchLedger&) = delete;

    // Rule 3: before a read.
    LedgerSnapshot snapshot() const;
    // Rule 3: after a read, the saves accounted for (by generation) leave the ledger.
    void accountFor(const std::vector<std::uint64_t>& generations);

    // Rule 5: the values this process's saves wrote for the keys they changed since the last
    // call (dotted key -> JSON text of the value), and the last save that landed. Clears the
    // values.
    struct OwnChanges {
        std::vector<std::pair<std::string, std::string>> values;  // in the order written
        std::optional<LandedSave> lastLanded;
    };
    OwnChanges takeOwnChanges();

    // Called by the registry, under its lock.
    void saveBegan(const OwnSave& save);
    void saveFinished(const OwnSave& save, const std::string& text);

    const std::filesystem::path& key() const { return key_; }

private:
    const std::filesystem::path key_;
    mutable std::mutex mutex_;
    std::vector<OwnSave> unaccounted_;                            // guarded by mutex_
    std::vector<std::pair<std::string, std::string>> ownValues_;  // guarded by mutex_
    std::optional<LandedSave> lastLanded_;                        // guarded by mutex_
};

// Records one save of `text` to `path` for its scope (rule 1). `base` and `written` may be null
// (they are copied); `text` is read again when the record ends, so it must outlive the record.
class OwnSaveRecord {
public:
    OwnSaveRecord(const std::filesystem::path& path, const std::string& text, const Config* base,
                  const Config* written);
    ~OwnSaveRecord();
    OwnSaveRecord(const OwnSaveRecord&) = delete;
    OwnSaveRecord& operator=(const OwnSaveRecord&) = delete;

    // The text is in place (the swap succeeded); the save may still fail to make it durable.
    void landed() { landed_ = true; }

private:
    std::filesystem::path key_;
    const std::string& text_;
    OwnSave save_;
    bool landed_ = false;
};

}  // namespace tarvik::driver::detail
