// How the save, the load, the quarantine and the update share the exclusion between saves of
// one target (platform::SaveLock). Internal to the configuration library.
//
// Who takes the lock:
// - every save, from before it opens the temporary file until after the swap and the sync;
// - an update, across its load, the caller's change and its save;
// - a load, only to move a corrupt file aside (so that it moves the very file it read, never a
//   document that a save put there meanwhile), and on Windows to wait for a save in progress
//   when it finds no file (ReplaceFileW hides the name for a moment).
// A function that is given a held lock (`heldLock` not null) does not take it again: the lock
// refuses a thread that holds it already (SaveLock::acquire, isLockReentered).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"

namespace tarvik::driver::detail {

// Takes the lock of `path`'s saves, creating the directory chain on POSIX when it is missing
// (the lock lives on the directory). Logs at ERROR and returns the failure otherwise.
SaveOutcome acquireSaveLock(const std::filesystem::path& path, platform::SaveLock& lock);

// Logs at WARN, once per process, that saves go on without excluding each other when `lock` is
// held without a lock because the file system refused one (platform::SaveLock::unsupported).
void warnIfWithoutLock(const platform::SaveLock& lock, const std::filesystem::path& path);

// The text a save writes for `config`: four-space indentation, keys in order, UTF-8, no final
// newline. Throws nlohmann::json::type_error 316 for invalid UTF-8 in a narrow string field.
std::string documentText(const Config& config);

// The save proper, while `lock` holds the lock of `path`: writes the temporary file, swaps it
// in and syncs the directory. `written` is the record that `text` holds (null for a raw text)
// and `base` the record an update started from (null for a save); this process's watchers
// learn both (config/FileKnowledge.h).
SaveOutcome writeHoldingLock(const std::filesystem::path& path, const std::string& text,
                             platform::SaveLock& lock, const Config* written = nullptr,
                             const Config* base = nullptr);

// What an update needs from its load besides the record.
struct DocumentRead {
    // Called with the bytes read, before they are parsed; false stops the load at once, which
    // then sets `refused`, moves nothing and logs nothing more.
    const std::function<bool(std::string_view)>* gate = nullptr;
    nlohmann::json* document = nullptr;  // receives the parsed object when the load is Read
    bool refused = false;
    // Leave a document that is not usable where it is, unlogged, and say so in `unusable` with
    // its text (the load then returns CorruptLeftInPlace): an update never moves a file aside.
    bool leaveUnusable = false;
    bool unusable = false;
    std::string unusableText;
};

// The load, with `heldLock` the caller's held lock of `path`, or null, and `update` what an
// update needs from it, or null.
LoadOutcome loadConfig(const std::filesystem::path& path, Config& config,
                       platform::SaveLock* heldLock, DocumentRead* update = nullptr);

// What a load read, to recognise the same file before moving it aside.
struct ReadDigest {
    std::size_t size = 0;
    std::size_t hash = 0;
    bool operator==(const ReadDigest& other) const {
        return size == other.size && hash == other.hash;
    }
};
ReadDigest digestOf(const std::string& text);

// Moves `path` aside as backupCorruptConfig() does and prunes the old backups; true when it
// was moved. Logs as backupCorruptConfig() does.
bool moveCorruptAside(const std::filesystem::path& path);

}  // namespace tarvik::driver::detail
