// The commands of tarvik-config, one file each: check, show, get, set and reset, keys, watch.
// Each returns the exit status (see CommandSupport.h).
#pragma once

#include <string>

#include "tools/tarvik-config/CommandSupport.h"

namespace tarvik::tools {

// check FILE: the checker's findings on standard output.
int runCheck(const File& file);
// show FILE: the settings the driver would use, as a settings document.
int runShow(const File& file);
// get FILE KEY: one value of those settings.
int runGet(const File& file, const std::string& keyName);

// What set and reset change, and how.
struct Change {
    File file;
    bool force = false;  // --force: a file marked read-only is changed, and keeps its mark
};

// set FILE KEY VALUE.
int runSet(const Change& change, const std::string& keyName, const std::string& text);
// reset FILE [KEY]: one setting (keyName), or all of them (nullptr), back to the default.
int runReset(const Change& change, const std::string* keyName);
// keys: every key with its type and default.
int runKeys();

// watch FILE: watches the file until the user interrupts (Ctrl-C, SIGTERM; see
// platform::catchInterrupts()); returns the exit status, 0.
int runWatch(const File& file);

}  // namespace tarvik::tools
