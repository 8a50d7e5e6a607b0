// tarvik-config set and reset: change one setting, or all of them, the way the driver saves.
//
// Both write through updateConfigJsonOutcome, so they are atomic and excluded from every other
// save of the file; set and reset KEY refuse a file that is not a usable document, and set and
// reset refuse a file marked read-only unless --force is given; a refused file is left as it is.
#include <algorithm>
#include <functional>
#include <string_view>
#include <utility>

#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"
#include "tools/tarvik-config/Commands.h"

namespace tarvik::tools {

namespace tvd = tarvik::driver;
using json = nlohmann::json;

namespace {

// What set prints after the findings of a usable document that it changes.
constexpr std::string_view kNotUsedWarning =
    "tarvik-config: warning: the driver does not use what is listed above: keys it does not "
    "know are kept, values it skips are saved as its defaults\n";

// VALUE as the JSON value that the document would hold, read by the key's type; false when
// it does not fit the key (the acceptance rule of the load decides).
bool valueArgument(const tvd::ConfigKey& key, const std::string& text, json& value) {
    switch (key.type) {
        case tvd::ValueType::Text:
        case tvd::ValueType::TextOrNull:
        case tvd::ValueType::WideText:
        case tvd::ValueType::WideOrNull: {
            std::wstring ignored;
            if (!tvd::utf8ToWide(text, ignored)) {
                err("tarvik-config: the value for " + std::string(key.name) + " (" +
                    tvd::quotedForMessage(text) + ") is not valid UTF-8\n");
                return false;
            }
            value = text;
            break;
        }
        case tvd::ValueType::SecondsOrNull:
            value = text == "none" ? json(nullptr)
                                   : json::parse(text, nullptr, /*allow_exceptions=*/false,
                                                 /*ignore_comments=*/false);
            break;
        default:
            value = json::parse(text, nullptr, /*allow_exceptions=*/false,
                                /*ignore_comments=*/false);
            break;
    }
    if (value.is_discarded() || tvd::acceptValue(key, value) != tvd::Acceptance::Applied) {
        std::string accepted = tvd::describeAccepted(key.type);
        if (key.type == tvd::ValueType::SecondsOrNull) {
            accepted = "whole seconds since 1970 (-922337203685 to 922337203685), or none";
        }
        err("tarvik-config: " + std::string(key.name) + " takes " + accepted + "; " +
            tvd::quotedForMessage(text) + " is not one\n");
        return false;
    }
    return true;
}

// set and reset KEY: judges the document text about to be changed. kSuccess to go on (after
// listing what the save will not keep), or the exit status after saying why the file is left
// as it is. It takes the text alone, so that it can judge whatever an update reads.
int judgeForChange(const File& file, std::string_view text) {
    const tvd::ConfigCheck check = tvd::checkConfigText(text);
    if (!check.usable) {
        return unusable(file, check, true);
    }
    if (!check.findings.empty()) {
        printFindings(file, check, err);
        // Values that the driver takes as they are (taken()) are saved as they are.
        if (std::any_of(check.findings.begin(), check.findings.end(),
                        [](const tvd::ConfigFinding& finding) { return !finding.taken(); })) {
            err(kNotUsedWarning);
        }
    }
    return kSuccess;
}

// The file as set and reset find it before they change it: kSuccess to go on, else the exit
// status after a message. `text` receives the file's text when there is a file to read (a
// locked one is left to the update, which waits for it as a load does).
int readForChange(const Change& change, FileText& text, bool& readOnly) {
    text = readText(change.file);
    if (text.state == ReadState::Failed && !text.locked) {
        return cannotRead(change.file, text);
    }
    readOnly = platform::isMarkedReadOnly(change.file.path);
    if (readOnly && !change.force) {
        err("tarvik-config: " + change.file.shownName +
            " is read-only, so it was left as it is; add --force to change it anyway (it stays "
            "read-only)\n");
        return kRefused;
    }
    return kSuccess;
}

// Writes `apply` into the file under the save's exclusion. A file marked read-only (with
// --force) loses the mark for the update, because Windows refuses to replace a read-only file,
// and gets it back on whatever is there afterwards: the new file, or the old one. With `judge`,
// the text that the update reads under the exclusion is judged first (judgeForChange), so that
// a file that another program broke after this one looked at it is still left as it is.
//
// With `repair`, an unusable file is first moved aside as the load at start-up does (under the
// exclusion, and only if it still holds what was read): an update never replaces a document
// it cannot use, but resetting everything is asked to.
int update(const Change& change, bool readOnly, const std::function<void(tvd::Config&)>& apply,
           bool judge = false, bool repair = false) {
    if (readOnly) {
        (void)platform::setReadOnlyMark(change.file.path, false);  // a failed save reports it
    }
    if (repair) {
        tvd::Config ignored;
        (void)tvd::loadConfigJsonOutcome(change.file.path, ignored);
    }
    tvd::Config config;
    tvd::SaveOutcome outcome;
    int judged = kSuccess;
    try {
        if (judge) {
            outcome = tvd::updateConfigJsonOutcome(
                change.file.path, config,
                [&change, &judged](std::string_view text) {
                    judged = judgeForChange(change.file, text);
                    return judged == kSuccess;
                },
                apply);
        } else {
            outcome = tvd::updateConfigJsonOutcome(change.file.path, config, apply);
        }
    } catch (...) {
        if (readOnly) {
            (void)platform::setReadOnlyMark(change.file.path, true);
        }
        throw;
    }
    if (readOnly) {
        if (const platform::ErrorCode error = platform::setReadOnlyMark(change.file.path, true)) {
            err("tarvik-config: warning: could not mark " + change.file.shownName +
                " read-only again: " + shown(platform::errorText(error)) + "\n");
        }
    }
    if (outcome.failure == tvd::SaveFailure::Refused) {
        return judged;  // judgeForChange has said why
    }
    if (!outcome.ok()) {
        err("tarvik-config: " + shown(outcome.message(change.file.path)) + "\n");
        // A file that could not be read is refused, as by every other command.
        return outcome.failure == tvd::SaveFailure::ReadExisting ||
                       outcome.failure == tvd::SaveFailure::Unusable
                   ? kRefused
                   : kFailed;
    }
    return kSuccess;
}

// set and reset KEY: the file must be usable (or missing) before one value is written. It is
// judged as the update reads it, under the saves' exclusion: what was there a moment before
// may have changed.
int changeOne(const Change& change, const tvd::ConfigKey& key, const json& value) {
    FileText text;
    bool readOnly = false;
    if (const int status = readForChange(change, text, readOnly); status != kSuccess) {
        return status;
    }
    // Through the document, so that the value is applied by the same rule as in a load.
    return update(
        change, readOnly,
        [&key, &value](tvd::Config& config) {
            json document = config;
            memberFor(document, key) = value;
            tvd::Config changed;
            tvd::from_json(document, changed);
            config = std::move(changed);
        },
        /*judge=*/true);
}

}  // namespace

int runSet(const Change& change, const std::string& keyName, const std::string& text) {
    const tvd::ConfigKey* key = keyArgument(keyName);
    json value;
    if (key == nullptr || !valueArgument(*key, text, value)) {
        return kRefused;
    }
    return changeOne(change, *key, value);
}

int runReset(const Change& change, const std::string* keyName) {
    if (keyName == nullptr) {
        FileText text;
        bool readOnly = false;
        if (const int status = readForChange(change, text, readOnly); status != kSuccess) {
            return status;
        }
        const bool repair =
            text.state == ReadState::Read && !tvd::checkConfigText(text.text).usable;
        return update(
            change, readOnly, [](tvd::Config& config) { config = tvd::Config{}; },
            /*judge=*/false, repair);
    }
    const tvd::ConfigKey* key = keyArgument(*keyName);
    if (key == nullptr) {
        return kRefused;
    }
    json defaults = tvd::Config{};
    return changeOne(change, *key, memberFor(defaults, *key));
}
}  // namespace tarvik::tools
