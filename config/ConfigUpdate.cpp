// Read-modify-write of the settings file, and the outcome forms of save and load.
// PLACEHOLDER: plain sequence without exclusion; replaced by the locked implementation.
#include "config/ConfigFile.h"

namespace tarvik::driver {

const char* describe(LoadOutcome outcome) {
    switch (outcome) {
        case LoadOutcome::Read:
            return "read";
        case LoadOutcome::Missing:
            return "missing";
        case LoadOutcome::Locked:
            return "locked";
        case LoadOutcome::Unreadable:
            return "unreadable";
        case LoadOutcome::CorruptMovedAside:
            return "corrupt, moved aside";
        case LoadOutcome::CorruptLeftInPlace:
            return "corrupt, left in place";
    }
    return "unknown";
}

std::string SaveOutcome::message(const std::filesystem::path& path) const {
    if (ok()) {
        return {};
    }
    return "could not save " + path.string() + (error ? ": " + error.message() : std::string());
}

SaveOutcome writeFileAtomicOutcome(const std::filesystem::path& path, const std::string& text) {
    SaveOutcome outcome;
    if (!writeFileAtomic(path, text)) {
        outcome.failure = SaveFailure::Swap;
    }
    return outcome;
}

SaveOutcome saveConfigJsonOutcome(const std::filesystem::path& path, const Config& config) {
    SaveOutcome outcome;
    if (!saveConfigJson(path, config)) {
        outcome.failure = SaveFailure::Swap;
    }
    return outcome;
}

LoadOutcome loadConfigJsonOutcome(const std::filesystem::path& path, Config& config) {
    return loadConfigJson(path, config) ? LoadOutcome::Read : LoadOutcome::Unreadable;
}

SaveOutcome updateConfigJsonOutcome(const std::filesystem::path& path, Config& config,
                                    const std::function<void(Config&)>& change) {
    loadConfigJson(path, config);
    change(config);
    return saveConfigJsonOutcome(path, config);
}

bool updateConfigJson(const std::filesystem::path& path, Config& config,
                      const std::function<void(Config&)>& change) {
    return updateConfigJsonOutcome(path, config, change).ok();
}

}  // namespace tarvik::driver
