// tarvik-config: shows what the driver will use, finds what is wrong in a hand-edited
// config.json, and changes one setting safely. Run `tarvik-config --help` for the commands.
//
// check, show, get and keys only read: they never write, move or create a file (they read the
// text themselves instead of calling loadConfigJson, which moves unusable files aside). set and
// reset write through updateConfigJsonOutcome, so they are atomic and excluded from every other
// save of the file; set and reset KEY refuse a file that is not a usable document, and set and
// reset refuse a file marked read-only unless --force is given; a refused file is left as it is.
//
// Everything printed that comes from the file or the command line (key names, values, the
// parser's tokens, file names, the library's messages) is escaped (see escapedForMessage in
// config/ConfigCheck.h), so that no byte of a file can act on the terminal.
//
// Exit status, one meaning each for every command: 0 done (check: no findings); 1 check found
// findings in a usable document; 2 refused, nothing changed: wrong arguments, an unknown key, a
// value that does not fit its key, a file that cannot be read, is not a usable document or is
// read-only; 3 failed: the save failed (the file is as it was), out of memory, or an internal
// error.
#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include <tarvik/common/Logging.h>
#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigKeys.h>
#include "platform/CommandLine.h"
#include "platform/File.h"
#include "tools/tarvik-config/Watch.h"

#ifndef TARVIK_CONFIG_VERSION
#define TARVIK_CONFIG_VERSION "unknown"
#endif

namespace {

namespace fs = std::filesystem;
namespace tvd = tarvik::driver;
namespace platform = tarvik::platform;
using json = nlohmann::json;

constexpr int kSuccess = 0;
constexpr int kFindings = 1;
constexpr int kRefused = 2;
constexpr int kFailed = 3;

constexpr std::string_view kUsage =
    "usage: tarvik-config check FILE\n"
    "       tarvik-config show FILE\n"
    "       tarvik-config get FILE KEY\n"
    "       tarvik-config set [--force] FILE KEY VALUE\n"
    "       tarvik-config reset [--force] FILE [KEY]\n"
    "       tarvik-config keys\n"
    "       tarvik-config watch FILE\n"
    "       tarvik-config --help | --version\n";

constexpr std::string_view kHelp =
    "tarvik-config: see the settings the driver will use, find what is wrong in a\n"
    "hand-edited config.json, and change a setting safely.\n"
    "\n"
    "  check FILE            list what the driver would skip or ignore, one finding a line\n"
    "                        (FILE:LINE:COLUMN: error|warning: ...), each followed by a\n"
    "                        note line with what to change where there is advice\n"
    "  show FILE             the settings the driver would use (the defaults overlaid with\n"
    "                        FILE), as a settings document, then a newline\n"
    "  get FILE KEY          one value: numbers and booleans as JSON writes them, strings as\n"
    "                        their text, a value that is not set as an empty line\n"
    "  set FILE KEY VALUE    change one setting (atomic; safe while the driver runs)\n"
    "  reset FILE [KEY]      one setting, or all of them, back to the default; resetting all\n"
    "                        also replaces a file that is not a usable document (it is kept\n"
    "                        as FILE.corrupted.<time>)\n"
    "  keys                  every key with its type and default\n"
    "  watch FILE            the settings as the driver sees them, then one line per change\n"
    "                        as it happens (KEY: OLD -> NEW, unusable: ..., missing), until\n"
    "                        Ctrl-C (exit 0); it never writes, moves or creates a file\n"
    "  --force               (set, reset) change a file marked read-only; it stays read-only\n"
    "\n"
    "KEY is the dotted name, as `keys` lists it: detection.sensitivity, version, ...\n"
    "VALUE by type: integer: decimal, -2147483648 to 2147483647; number: a JSON number;\n"
    "boolean: true or false; string: the text as given (an empty string clears\n"
    "audio.deviceId and steamvr.customActionBinding); timestamp: whole seconds since 1970,\n"
    "or none.\n"
    "\n"
    "A number setting is shown in the fewest digits that give the same value (0.7); the\n"
    "file keeps the form the driver writes (0.699999988079071). Control characters from the\n"
    "file or the command line are shown as \\uXXXX, bytes that are not UTF-8 as \\xNN.\n"
    "\n"
    "check, show, get and keys never write, move or create a file. A missing FILE holds\n"
    "the defaults for show and get, and is created by set and reset.\n"
    "\n"
    "Exit status: 0 done; 1 check found findings; 2 refused, nothing changed: wrong\n"
    "arguments, unknown key, unfitting value, or a file that cannot be read, is not a usable\n"
    "document or is read-only; 3 failed: the save failed (the file is as it was), out of\n"
    "memory, or an internal error.\n";

// What set prints after the findings of a usable document that it changes.
constexpr std::string_view kNotUsedWarning =
    "tarvik-config: warning: the driver does not use what is listed above: keys it does not "
    "know are kept, values it skips are saved as its defaults\n";

void out(std::string_view text) {
    platform::writeStandard(platform::StandardStream::Output, text);
}

void err(std::string_view text) {
    platform::writeStandard(platform::StandardStream::Error, text);
}

// Text from the command line or a file, shown as it is but with control characters and bytes
// that are not UTF-8 escaped.
std::string shown(std::string_view text) {
    return tvd::escapedForMessage(text);
}

// A multi-line text (a document) made safe line by line, so that its own line ends stay.
std::string shownLines(std::string_view text) {
    std::string result;
    for (;;) {
        const std::size_t end = text.find('\n');
        result += shown(text.substr(0, end));
        if (end == std::string_view::npos) {
            return result;
        }
        result += '\n';
        text.remove_prefix(end + 1);
    }
}

int usageError(const std::string& what) {
    err("tarvik-config: " + what + "\n");
    err(kUsage);
    return kRefused;
}

// Shows the library's warnings that tell the user what happened to their file (it was moved
// aside, and where to), escaped. The others (a locked file being retried, a swap tried again,
// naming Windows calls and error numbers) are for developers: what the user needs of them is
// in the one line that the tool prints from the result.
class WarningLogger final : public tarvik::common::ILogger {
public:
    void log(tarvik::common::LogLevel level, std::string_view message) override {
        static constexpr std::string_view kShown[] = {
            "Config file corrupted; backing up and using defaults: ",
            "Backed up corrupt config to: ",
        };
        if (level == tarvik::common::LogLevel::Warn &&
            std::any_of(std::begin(kShown), std::end(kShown), [message](std::string_view start) {
                return message.substr(0, start.size()) == start;
            })) {
            err("tarvik-config: warning: " + shown(message) + "\n");
        }
    }
    void setLevel(tarvik::common::LogLevel) override {}
    tarvik::common::LogLevel getLevel() const override { return tarvik::common::LogLevel::Warn; }
};

// The file named on the command line: the name as the user wrote it (for commands suggested
// to them) and as messages show it, and the path to open (absolute, as the save requires a
// directory part).
struct File {
    std::string name;
    std::string shownName;
    fs::path path;
};

File fileArgument(const std::string& name) {
    const fs::path given = fs::u8path(name);
    std::error_code ignored;
    fs::path absolute = fs::absolute(given, ignored);
    return {name, shown(name), absolute.empty() ? given : absolute};
}

enum class ReadState { Read, Missing, Failed };

struct FileText {
    ReadState state = ReadState::Failed;
    std::string text;
    std::string error;    // for Failed: why, in the OS's words
    bool locked = false;  // for Failed: another program holds the file open without sharing
};

// Reads the whole file without changing anything on disk.
FileText readText(const File& file) {
    FileText result;
    std::error_code statusError;
    if (fs::status(file.path, statusError).type() == fs::file_type::not_found) {
        result.state = ReadState::Missing;
        return result;
    }
    const platform::ReadResult read = platform::readWholeFile(file.path, result.text);
    if (read.status == platform::ReadStatus::Ok) {
        result.state = ReadState::Read;
    } else if (read.status == platform::ReadStatus::SharingViolation) {
        result.error = "another program holds it open";
        result.locked = true;
    } else {
        result.error = platform::errorText(read.error);
    }
    return result;
}

std::string place(const File& file, std::size_t line, std::size_t column) {
    std::string text = file.shownName;
    if (line != 0) {
        text += ":" + std::to_string(line) + ":" + std::to_string(column);
    }
    return text;
}

// A finding as compilers write theirs, and its hint as a note at the place it concerns.
std::string findingLines(const File& file, const tvd::ConfigFinding& finding) {
    std::string text = place(file, finding.line, finding.column) +
                       (finding.fatal() ? ": error: " : ": warning: ") + finding.message + "\n";
    if (!finding.hint.empty()) {
        text += (finding.hintLine != 0 ? place(file, finding.hintLine, finding.hintColumn)
                                       : place(file, finding.line, finding.column)) +
                ": note: " + finding.hint + "\n";
    }
    return text;
}

void printFindings(const File& file, const tvd::ConfigCheck& check,
                   void (*print)(std::string_view)) {
    for (const tvd::ConfigFinding& finding : check.findings) {
        print(findingLines(file, finding));
    }
    if (check.unreported > 0) {
        print(file.shownName + ": note: " + std::to_string(check.unreported) +
              " more findings not shown\n");
    }
}

int cannotRead(const File& file, const FileText& text) {
    err("tarvik-config: cannot read " + file.shownName + ": " + shown(text.error) + "\n");
    return kRefused;
}

// The command that replaces the file with the defaults, as the user can type it: the name
// quoted for the shell, or described when it holds characters that a terminal cannot show.
std::string resetCommand(const File& file) {
    if (file.shownName != file.name) {
        return "tarvik-config reset FILE, with FILE as given";
    }
    return "tarvik-config reset " + platform::quoteForShell(file.name);
}

// Reports a document the driver cannot use; the file is not touched.
int unusable(const File& file, const tvd::ConfigCheck& check, bool changing) {
    printFindings(file, check, err);
    if (changing) {
        err("tarvik-config: " + file.shownName +
            " is not a usable settings document and was left as it is; fix it "
            "(tarvik-config check shows where) or replace it with the defaults (" +
            resetCommand(file) + ")\n");
    } else {
        err("tarvik-config: " + file.shownName +
            " is not a usable settings document: the driver would move it aside and use the "
            "defaults\n");
    }
    return kRefused;
}

// The settings the driver would use: the defaults overlaid with the file. False (after a
// message) when the file cannot be read or is not usable; a missing file gives the defaults.
bool effectiveSettings(const File& file, tvd::Config& config) {
    const FileText text = readText(file);
    if (text.state == ReadState::Missing) {
        err("tarvik-config: " + file.shownName + " does not exist: the driver uses the defaults\n");
        return true;
    }
    if (text.state == ReadState::Failed) {
        cannotRead(file, text);
        return false;
    }
    const json document = json::parse(text.text, nullptr, /*allow_exceptions=*/false,
                                      /*ignore_comments=*/false);
    if (!document.is_object()) {
        unusable(file, tvd::checkConfigText(text.text), false);
        return false;
    }
    tvd::from_json(document, config);
    return true;
}

// The key named on the command line, or nullptr after a message.
const tvd::ConfigKey* keyArgument(const std::string& name) {
    if (const tvd::ConfigKey* key = tvd::findConfigKey(name)) {
        return key;
    }
    if (tvd::isConfigSection(name)) {
        std::string keys;
        for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
            if (name == key.section) {
                keys += std::string(keys.empty() ? "" : ", ") + key.name;
            }
        }
        err("tarvik-config: " + name + " is a section, not a key; its keys: " + keys + "\n");
        return nullptr;
    }
    std::string message = "tarvik-config: unknown key " + tvd::quotedForMessage(name);
    const std::string suggestion = tvd::suggestConfigKey(name);
    if (!suggestion.empty()) {
        message += "; did you mean " + suggestion + "?";
    }
    err(message + " (tarvik-config keys lists every key)\n");
    return nullptr;
}

// The member of a document that holds `key` (created as null if missing, hence not const).
// cppcheck-suppress constParameter
json& memberFor(json& document, const tvd::ConfigKey& key) {
    return key.section[0] == '\0' ? document[key.key] : document[key.section][key.key];
}

// A value as JSON text, as people read it: a float setting in the fewest digits that give the
// same float (0.7, not 0.699999988079071).
std::string valueText(const tvd::ConfigKey& key, const json& value) {
    if (key.type == tvd::ValueType::Float && value.is_number()) {
        return tvd::floatText(value.get<float>());
    }
    return value.dump();
}

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
        err(kNotUsedWarning);
    }
    return kSuccess;
}

// What set and reset change, and how.
struct Change {
    File file;
    bool force = false;  // --force: a file marked read-only is changed, and keeps its mark
};

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

int runCheck(const File& file) {
    const FileText text = readText(file);
    if (text.state == ReadState::Missing) {
        err("tarvik-config: " + file.shownName + " does not exist\n");
        return kRefused;
    }
    if (text.state == ReadState::Failed) {
        return cannotRead(file, text);
    }
    const tvd::ConfigCheck result = tvd::checkConfigText(text.text);
    printFindings(file, result, out);
    if (!result.usable) {
        return kRefused;
    }
    return result.findings.empty() ? kSuccess : kFindings;
}

// The document with every float setting as people read it (0.7), which reads back as the
// same settings.
int runShow(const File& file) {
    tvd::Config config;
    if (!effectiveSettings(file, config)) {
        return kRefused;
    }
    json document = config;
    std::string text = document.dump(4);
    for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
        if (key.type != tvd::ValueType::Float) {
            continue;
        }
        // The member's own line is the only place where its name follows a line end and its
        // indentation: a line end inside a string is written as \n.
        const std::string start =
            "\n" + std::string(key.section[0] == '\0' ? 4 : 8, ' ') + "\"" + key.key + "\": ";
        const std::size_t at = text.find(start);
        if (at != std::string::npos) {
            const std::size_t from = at + start.size();
            const std::size_t end = std::min(text.find_first_of(",\n", from), text.size());
            text.replace(from, end - from, valueText(key, memberFor(document, key)));
        }
    }
    out(shownLines(text) + "\n");
    return kSuccess;
}

int runGet(const File& file, const std::string& keyName) {
    const tvd::ConfigKey* key = keyArgument(keyName);
    if (key == nullptr) {
        return kRefused;
    }
    tvd::Config config;
    if (!effectiveSettings(file, config)) {
        return kRefused;
    }
    json document = config;
    const json& value = memberFor(document, *key);
    if (value.is_null()) {
        out("\n");
    } else if (value.is_string()) {
        out(shown(value.get_ref<const std::string&>()) + "\n");
    } else {
        out(valueText(*key, value) + "\n");
    }
    return kSuccess;
}

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
        const bool unusable =
            text.state == ReadState::Read && !tvd::checkConfigText(text.text).usable;
        return update(
            change, readOnly, [](tvd::Config& config) { config = tvd::Config{}; },
            /*judge=*/false, /*repair=*/unusable);
    }
    const tvd::ConfigKey* key = keyArgument(*keyName);
    if (key == nullptr) {
        return kRefused;
    }
    json defaults = tvd::Config{};
    return changeOne(change, *key, memberFor(defaults, *key));
}

int runKeys() {
    json defaults = tvd::Config{};
    std::string text;
    for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
        std::string line = key.name;
        line.resize(32, ' ');
        line += tvd::typeName(key.type);
        line.resize(43, ' ');
        text += line + valueText(key, memberFor(defaults, key)) + "\n";
    }
    out(text);
    return kSuccess;
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        return usageError("no command given");
    }
    const std::string& command = arguments[1];
    std::vector<std::string> operands(arguments.begin() + 2, arguments.end());
    if (command == "--help" || command == "-h") {
        if (!operands.empty()) {
            return usageError("--help takes no arguments");
        }
        out(kUsage);
        out("\n");
        out(kHelp);
        return kSuccess;
    }
    if (command == "--version") {
        if (!operands.empty()) {
            return usageError("--version takes no arguments");
        }
        out("tarvik-config " TARVIK_CONFIG_VERSION "\n");
        return kSuccess;
    }
    if (command == "keys") {
        return operands.empty() ? runKeys() : usageError("keys takes no arguments");
    }

    struct Shape {
        const char* name;
        std::size_t least;
        std::size_t most;
    };
    const Shape shapes[] = {{"check", 1, 1}, {"show", 1, 1},  {"get", 2, 2},
                            {"set", 3, 3},   {"reset", 1, 2}, {"watch", 1, 1}};
    const Shape* shape = std::find_if(std::begin(shapes), std::end(shapes),
                                      [&command](const Shape& s) { return command == s.name; });
    if (shape == std::end(shapes)) {
        return usageError("unknown command " + tvd::quotedForMessage(command));
    }
    bool force = false;
    if (!operands.empty() && operands.front() == "--force") {
        if (command != "set" && command != "reset") {
            return usageError("--force is for set and reset only");
        }
        force = true;
        operands.erase(operands.begin());
    }
    if (operands.size() < shape->least || operands.size() > shape->most) {
        return usageError("wrong number of arguments for " + command);
    }
    if (operands[0].empty()) {
        return usageError("FILE is empty");
    }

    tarvik::common::globalLogger = std::make_shared<WarningLogger>();
    const File file = fileArgument(operands[0]);
    if (command == "check") {
        return runCheck(file);
    }
    if (command == "show") {
        return runShow(file);
    }
    if (command == "get") {
        return runGet(file, operands[1]);
    }
    if (command == "watch") {
        return tarvik::tools::runWatch(file.name, file.path);
    }
    const Change change{file, force};
    if (command == "set") {
        return runSet(change, operands[1], operands[2]);
    }
    return runReset(change, operands.size() == 2 ? &operands[1] : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    int status = kFailed;
    try {
        status = run(platform::commandLineArguments(argc, argv));
    } catch (const std::bad_alloc&) {
        err("tarvik-config: out of memory\n");
    } catch (const std::exception& error) {
        try {
            err("tarvik-config: internal error: " + shown(error.what()) + "\n");
        } catch (const std::exception&) {
            err("tarvik-config: internal error\n");
        }
    }
    tarvik::common::globalLogger.reset();
    return status;
}
