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

}  // namespace tarvik::platform::testing
