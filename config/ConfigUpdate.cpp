// Read-modify-write of the settings file under the saves' lock, and the texts that describe
// load and save outcomes to people.
#include <algorithm>
#include <chrono>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigKeys.h>
#include "config/LogText.h"
#include "config/RecordRead.h"
#include "config/SaveLocking.h"
#include "config/WatchLogic.h"
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
        case SaveFailure::Reentered:
            text = "could not save " + name +
                   " from inside another save or update of its directory on the same thread";
            break;
        case SaveFailure::Refused:
            text = "the update of " + name + " was refused; the file was left as it is";
            break;
        case SaveFailure::Unusable:
            text = "could not update " + name + ": it is not a usable document" +
                   (problem.empty() ? std::string() : " (" + problem + ")") +
                   "; it was left as it is";
            break;
        case SaveFailure::Lock:
            text = "could not lock " + name + " against other saves";
            break;
    }
    if (error) {
        text += ": " + error.message();
    }
    return text;
}

namespace {

// Deeper than this, a member that the record has no field for is not written back by an update:
// writing it would recurse once per level, which a hostile file can make deep enough to exhaust
// the stack, and would indent it beyond any use. No settings document comes anywhere near it.
constexpr std::size_t kMaxKeptNesting = 512;

// Whether `value` nests more than `limit` levels of arrays and objects. Never recursive.
bool nestsDeeperThan(const nlohmann::json& value, std::size_t limit) {
    std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&value, 1}};
    while (!pending.empty()) {
        const auto [current, depth] = pending.back();
        pending.pop_back();
        if (!current->is_structured()) {
            continue;
        }
        if (depth > limit) {
            return true;
        }
        std::transform(current->begin(), current->end(), std::back_inserter(pending),
                       [depth = depth](const nlohmann::json& child) {
                           return std::make_pair(&child, depth + 1);
                       });
    }
    return false;
}

// Removes from `object` every member nested too deeply to be written (see kMaxKeptNesting),
// with a WARN naming it; `section` prefixes the names ("audio." or empty).
void dropTooDeep(nlohmann::json& object, const std::string& section,
                 const std::filesystem::path& path) {
    std::vector<std::string> tooDeep;
    for (auto member = object.begin(); member != object.end(); ++member) {
        if (section.empty() && member->is_object() && isConfigSection(member.key())) {
            dropTooDeep(*member, member.key() + ".", path);  // one level: sections only
        } else if (nestsDeeperThan(*member, kMaxKeptNesting)) {
            tooDeep.push_back(member.key());
        }
    }
    for (const std::string& key : tooDeep) {
        object.erase(key);
        logConcat(LogLevel::Warn, "Config update dropped ", section, key, " from ",
                  detail::pathForLog(path), ": nested more than ", kMaxKeptNesting, " levels deep");
    }
}

// The text of `document`, the object that the update read, with the record's keys written into
// it. Every member the record has no field for keeps its place and value, at the top level and
// inside the sections; a key the record has gets the record's value, whatever the document
// held there (a value of another type, a section that is not an object).
std::string mergedDocumentText(nlohmann::json& document, const Config& config,
                               const std::filesystem::path& path) {
    nlohmann::json record;
    to_json(record, config);
    for (auto member = record.begin(); member != record.end(); ++member) {
        const auto found = document.find(member.key());
        if (member->is_object() && found != document.end() && found->is_object()) {
            for (auto field = member->begin(); field != member->end(); ++field) {
                (*found)[field.key()] = std::move(*field);
            }
        } else {
            document[member.key()] = std::move(*member);
        }
    }
    dropTooDeep(document, std::string(), path);
    // Indent 4 with spaces, raw UTF-8, strict: as a save writes its record.
    return document.dump(4);
}

// The update's locked read: the document as the load reads it, waited for while it does not
// parse but keeps changing (a program writing it in place, halfway), for at most
// kUnusableWaitLimit. A document that stays unusable is left as it is.
constexpr std::chrono::milliseconds kUnusableRecheck{20};
constexpr std::chrono::milliseconds kUnusableStable{100};
constexpr std::chrono::milliseconds kUnusableWaitLimit{300};

// The first finding that makes `text` unusable, with its place: "line 3, column 14: ...".
std::string firstMistake(std::string_view text) {
    const ConfigCheck check = checkConfigText(text);
    for (const ConfigFinding& finding : check.findings) {
        if (finding.fatal()) {
            if (finding.line == 0) {
                return finding.message;
            }
            return "line " + std::to_string(finding.line) + ", column " +
                   std::to_string(finding.column) + ": " + finding.message;
        }
    }
    return detail::firstProblem(text);
}

// `record`, which holds `defaults`, receives the document read onto them; each read starts from
// them afresh.
LoadOutcome readForUpdate(const std::filesystem::path& path, const Config& defaults, Config& record,
                          platform::SaveLock& lock, detail::DocumentRead& read) {
    const auto started = std::chrono::steady_clock::now();
    std::optional<detail::ReadDigest> lastSeen;
    auto lastChange = started;
    for (;;) {
        read.unusable = false;
        const LoadOutcome load = detail::loadConfig(path, record, &lock, &read);
        if (!read.unusable) {
            return load;
        }
        record = defaults;
        const auto now = std::chrono::steady_clock::now();
        const detail::ReadDigest seen = detail::digestOf(read.unusableText);
        if (!lastSeen || !(*lastSeen == seen)) {
            lastSeen = seen;
            lastChange = now;
        }
        if (now - lastChange >= kUnusableStable || now - started >= kUnusableWaitLimit) {
            return load;
        }
        std::this_thread::sleep_for(kUnusableRecheck);
    }
}

SaveOutcome update(const std::filesystem::path& path, Config& config, const Config& defaults,
                   const std::function<bool(std::string_view)>& accept,
                   const std::function<void(Config&)>& change) {
    platform::SaveLock lock;
    if (SaveOutcome locked = detail::acquireSaveLock(path, lock); !locked) {
        return locked;
    }
    // The file is the truth: it is read onto the defaults, not onto the caller's record, whose
    // values may be out of date (a value that another process cleared, which the file holds as
    // null, must stay cleared). The load itself reads it onto them, so it is read only once.
    Config fromFile = defaults;
    nlohmann::json document;
    detail::DocumentRead read;
    read.gate = accept ? &accept : nullptr;
    read.document = &document;
    read.leaveUnusable = true;
    const LoadOutcome load = readForUpdate(path, defaults, fromFile, lock, read);
    if (read.refused) {
        SaveOutcome outcome;
        outcome.failure = SaveFailure::Refused;
        return outcome;
    }
    if (read.unusable) {
        // A person's edit with a typo, or a writer that never finished: writing now would put the
        // record alone over whatever the person meant, and moving it aside would hide it.
        SaveOutcome outcome;
        outcome.failure = SaveFailure::Unusable;
        outcome.load = load;
        outcome.problem = firstMistake(read.unusableText);
        logConcat(LogLevel::Error, "Config not updated: ", detail::pathForLog(path),
                  " is not a usable document (", outcome.problem, "); it was left as it is");
        return outcome;
    }
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
    std::optional<Config> base;
    if (load == LoadOutcome::Read) {
        detail::keepDefaultsWhereNullClears(document, defaults, fromFile);
        base = fromFile;
    }
    // No file: the caller's record is the start, so that a first save keeps the caller's own
    // settings.
    Config updated = base ? std::move(fromFile) : config;
    change(updated);
    // A document that holds the record alone (as every save writes it) keeps nothing of its own
    // through the merge: the straight writer gives the same text without building the tree.
    const bool keepsOwnMembers =
        load == LoadOutcome::Read && !detail::holdsOnlyRecordKeys(document);
    const std::string text = keepsOwnMembers ? mergedDocumentText(document, updated, path)
                                             : detail::documentText(updated);
    SaveOutcome outcome =
        detail::writeHoldingLock(path, text, lock, &updated, base ? &*base : nullptr);
    if (outcome.ok()) {
        config = std::move(updated);
    }
    return outcome;
}

// A default-constructed record, made once (its strings live on the heap) and never destroyed,
// so that an update from a static object's destructor still has it.
const Config& builtInDefaults() {
    static const Config* const defaults = new Config;  // deliberately never deleted
    return *defaults;
}

}  // namespace

SaveOutcome updateConfigJsonOutcome(const std::filesystem::path& path, Config& config,
                                    const std::function<bool(std::string_view)>& accept,
                                    const std::function<void(Config&)>& change) {
    return update(path, config, builtInDefaults(), accept, change);
}

SaveOutcome updateConfigJsonOutcome(const std::filesystem::path& path, Config& config,
                                    const std::function<void(Config&)>& change) {
    return update(path, config, builtInDefaults(), nullptr, change);
}

SaveOutcome updateConfigJsonOutcome(const std::filesystem::path& path, Config& config,
                                    const Config& defaults,
                                    const std::function<void(Config&)>& change) {
    return update(path, config, defaults, nullptr, change);
}

bool updateConfigJson(const std::filesystem::path& path, Config& config,
                      const std::function<void(Config&)>& change) {
    return updateConfigJsonOutcome(path, config, change).ok();
}

bool updateConfigJson(const std::filesystem::path& path, Config& config, const Config& defaults,
                      const std::function<void(Config&)>& change) {
    return updateConfigJsonOutcome(path, config, defaults, change).ok();
}

}  // namespace tarvik::driver
