// How the save, the load, the quarantine and the update share the exclusion between saves of
// one target (platform::SaveLock). Internal to the configuration library.
//
// Who takes the lock:
// - every save, from before it opens the temporary file until after the swap and the sync;
// - an update, across its load, the caller's change and its save;
// - a load, only to move a corrupt file aside (so that it moves the very file it read, never a
//   document that a save put there meanwhile), and on Windows to wait for a save in progress
//   when it finds no file (ReplaceFileW hides the name for a moment).
// A function that is given a held lock (`heldLock` not null) does not take it again: POSIX
// flocks on two descriptors of one directory exclude each other even within one thread.
#pragma once

#include <filesystem>
#include <string>

#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"

namespace tarvik::driver::detail {

// Takes the lock of `path`'s saves, creating the directory chain on POSIX when it is missing
// (the lock lives on the directory). Logs at ERROR and returns the failure otherwise.
SaveOutcome acquireSaveLock(const std::filesystem::path& path, platform::SaveLock& lock);

// The text a save writes for `config`: four-space indentation, keys in order, UTF-8, no final
// newline. Throws nlohmann::json::type_error 316 for invalid UTF-8 in a narrow string field.
std::string documentText(const Config& config);

// The save proper, while `lock` holds the lock of `path`: writes the temporary file, swaps it
// in and syncs the directory.
SaveOutcome writeHoldingLock(const std::filesystem::path& path, const std::string& text,
                             platform::SaveLock& lock);

// The load, with `heldLock` the caller's held lock of `path`, or null.
LoadOutcome loadConfig(const std::filesystem::path& path, Config& config,
                       platform::SaveLock* heldLock);

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
