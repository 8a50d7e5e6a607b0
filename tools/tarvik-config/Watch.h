// tarvik-config watch: the settings file's state, then one line per change as it happens.
#pragma once

#include <filesystem>
#include <string>

namespace tarvik::tools {

// Watches `path` (`name` as the user wrote it, for the first line) until the user interrupts
// (Ctrl-C, SIGTERM; see platform::catchInterrupts()); returns the exit status, 0.
int runWatch(const std::string& name, const std::filesystem::path& path);

}  // namespace tarvik::tools
