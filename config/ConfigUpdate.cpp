// Read-modify-write of the settings file under the saves' lock, and the texts that describe
// load and save outcomes to people.
#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>
#include "config/LogText.h"
#include "config/SaveLocking.h"
#include "platform/File.h"

namespace tarvik::driver {

using common::logConcat;
using common::LogLevel;

const char* describe(LoadOutcome outcome) {
    switch (outcome) {
        case LoadOutcome::Read:
            return "read";
        case LoadOutcome::Missing:
            return "missing";
        case LoadOutcome::Locked:
            return "locked by another program";
        case LoadOutcome::Unreadable:
            return "unreadable";
        case LoadOutcome::CorruptMovedAside:
            return "corrupt, moved aside";
        case LoadOutcome::CorruptLeftInPlace:
            return "corrupt, could not be moved aside";
    }
    return "unknown";
}

std::string SaveOutcome::message(const std::filesystem::path& path) const {
    const std::string name = detail::pathForLog(path);
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    std::string text;
    switch (failure) {
        case SaveFailure::None:
            return {};
        case SaveFailure::InvalidPath:
            text = name + " does not name a file in a directory";
            break;
        case SaveFailure::Busy:
            text = "another save holds " + name;
            break;
        case SaveFailure::CreateDirectory:
            text = "could not create the directory of " + name;
            break;
        case SaveFailure::OpenTemp:
            text = "could not create the temporary file " + detail::pathForLog(temporary);
            break;
        case SaveFailure::WriteTemp:
            text = "could not write the temporary file " + detail::pathForLog(temporary);
            break;
        case SaveFailure::Swap:
            text = "could not put the new file in place of " + name;
            break;
        case SaveFailure::SyncDirectory:
            text = name + " was replaced, but the change is not yet safe on disk";
            break;
        case SaveFailure::ReadExisting:
            text = "could not read " + name + " (" + describe(load) + "), so it was not changed";
            break;
    }
    if (error) {
        text += ": " + error.message();
    }
    return text;
}

SaveOutcome updateConfigJsonOutcome(const std::filesystem::path& path, Config& config,
                                    const std::function<void(Config&)>& change) {
    platform::SaveLock lock;
    if (SaveOutcome locked = detail::acquireSaveLock(path, lock); !locked) {
        return locked;
    }
    const LoadOutcome load = detail::loadConfig(path, config, &lock);
    if (load == LoadOutcome::Locked || load == LoadOutcome::Unreadable ||
        load == LoadOutcome::CorruptLeftInPlace) {
        // Saving now would put the caller's defaults over settings that could not be read.
        logConcat(LogLevel::Error, "Config not updated: could not read ", detail::pathForLog(path),
                  " (", describe(load), ")");
        SaveOutcome outcome;
        outcome.failure = SaveFailure::ReadExisting;
        outcome.load = load;
        return outcome;
    }
    change(config);
    return detail::writeHoldingLock(path, detail::documentText(config), lock);
}

bool updateConfigJson(const std::filesystem::path& path, Config& config,
                      const std::function<void(Config&)>& change) {
    return updateConfigJsonOutcome(path, config, change).ok();
}

}  // namespace tarvik::driver
