// OS operations that only tests need: planting special files, holding files open, changing
// permissions. Lives beside the platform layer so that tests never include OS headers; linked
// only into test programs (target tarvik::platform_testing).
#pragma once

#include <filesystem>
#include <string>

namespace tarvik::platform::testing {

// True when this build's platform layer is the POSIX one.
bool isPosix();

// Makes a FIFO (named pipe) at `path`. False where the platform has none (Windows) or the
// call fails.
bool makeFifo(const std::filesystem::path& path);

// Sets the process's file-creation mask and returns the previous one (umask). Returns 0 and does
// nothing where the platform has none (Windows).
unsigned setUmask(unsigned mask);

// The user id that owns `path` (not following a final symbolic link); -1 where the platform
// has none (Windows) or the query fails.
long ownerOf(const std::filesystem::path& path);

// Gives `path` to the unprivileged user 65534 (nobody); false where that is not permitted (not
// root) or the platform has no owners (Windows).
bool giveToNobody(const std::filesystem::path& path);

// How many descriptors or handles this process holds open; -1 where that cannot be counted.
long openDescriptorCount();

// Marks `path` hidden, system and read-only (Windows attributes); false where the platform
// has none (POSIX) or the call fails.
bool markHiddenSystemReadOnly(const std::filesystem::path& path);

}  // namespace tarvik::platform::testing
