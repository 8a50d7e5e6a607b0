// tarvik-config: shows what the driver will use, finds what is wrong in a hand-edited
// config.json, and changes one setting safely. Run `tarvik-config --help` for the commands.
//
// check, show, get and keys only read: they never write, move or create a file (they read the
// text themselves instead of calling loadConfigJson, which moves unusable files aside). set and
// reset write through updateConfigJsonOutcome, so they are atomic and excluded from every other
// save of the file; set and reset KEY refuse a file that is not a usable document and leave it
// as it is.
//
// Exit status: 0 success (check: no findings); 1 check found findings in a usable document, or
// set/reset could not save; 2 wrong arguments, an unknown key, a value that does not fit its
// key, a file that cannot be read or is not a usable document.
#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
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
constexpr int kSaveFailed = 1;
constexpr int kRefused = 2;

constexpr std::string_view kUsage =
    "usage: tarvik-config check FILE\n"
    "       tarvik-config show FILE\n"
    "       tarvik-config get FILE KEY\n"
    "       tarvik-config set FILE KEY VALUE\n"
    "       tarvik-config reset FILE [KEY]\n"
    "       tarvik-config keys\n"
    "       tarvik-config --help | --version\n";

constexpr std::string_view kHelp =
    "tarvik-config: see the settings the driver will use, find what is wrong in a\n"
    "hand-edited config.json, and change a setting safely.\n"
    "\n"
    "  check FILE            list what the driver would skip or ignore, one finding a line\n"
    "                        (FILE:LINE:COLUMN: error|warning: ...); exit 0 none, 1 findings,\n"
    "                        2 the file is not a usable document (the driver would move it\n"
    "                        aside) or cannot be read\n"
    "  show FILE             the settings the driver would use (the defaults overlaid with\n"
    "                        FILE), as the document a save would write, then a newline\n"
    "  get FILE KEY          one value: numbers and booleans as JSON writes them, strings as\n"
    "                        their text, a value that is not set as an empty line\n"
    "  set FILE KEY VALUE    change one setting (atomic; safe while the driver runs)\n"
    "  reset FILE [KEY]      one setting, or all of them, back to the default; resetting all\n"
    "                        also replaces a file that is not a usable document (it is kept\n"
    "                        as FILE.corrupted.<time>)\n"
    "  keys                  every key with its type and default\n"
    "\n"
    "KEY is the dotted name, as `keys` lists it: detection.sensitivity, version, ...\n"
    "VALUE by type: integer: decimal, -2147483648 to 2147483647; number: a JSON number;\n"
    "boolean: true or false; string: the text as given (an empty string clears\n"
    "audio.deviceId and steamvr.customActionBinding); timestamp: whole seconds since 1970,\n"
    "or none.\n"
    "\n"
    "check, show, get and keys never write, move or create a file. A missing FILE holds\n"
    "the defaults for show and get, and is created by set and reset.\n"
    "\n"
    "Exit status: 0 done; 1 check found findings, or set/reset could not save (the file\n"
    "is as it was); 2 wrong arguments, unknown key, unfitting value, or a file that cannot\n"
    "be read or is not a usable document (left as it was).\n";

void out(std::string_view text) {
    platform::writeStandard(platform::StandardStream::Output, text);
}

void err(std::string_view text) {
    platform::writeStandard(platform::StandardStream::Error, text);
}

int usageError(const std::string& what) {
    err("tarvik-config: " + what + "\n");
    err(kUsage);
    return kRefused;
}

// Shows the library's warnings (a file moved aside, a locked file being retried) on standard
// error. Failures are reported from the save's result instead, so ERROR lines are not repeated.
class WarningLogger final : public tarvik::common::ILogger {
public:
    void log(tarvik::common::LogLevel level, std::string_view message) override {
        if (level == tarvik::common::LogLevel::Warn) {
            err("tarvik-config: warning: " + std::string(message) + "\n");
        }
    }
    void setLevel(tarvik::common::LogLevel) override {}
    tarvik::common::LogLevel getLevel() const override { return tarvik::common::LogLevel::Warn; }
};

// The file named on the command line: the name as the user wrote it (for messages) and the
// path to open (absolute, as the save requires a directory part).
struct File {
    std::string name;
    fs::path path;
};

File fileArgument(const std::string& name) {
    const fs::path given = fs::u8path(name);
    std::error_code ignored;
    fs::path absolute = fs::absolute(given, ignored);
    return {name, absolute.empty() ? given : absolute};
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

std::string location(const std::string& name, const tvd::ConfigFinding& finding) {
    std::string text = name;
    if (finding.line != 0) {
        text += ":" + std::to_string(finding.line) + ":" + std::to_string(finding.column);
    }
    return text + (finding.fatal() ? ": error: " : ": warning: ") + finding.message + "\n";
}

void printFindings(const std::string& name, const tvd::ConfigCheck& check,
                   void (*print)(std::string_view)) {
    for (const tvd::ConfigFinding& finding : check.findings) {
        print(location(name, finding));
    }
    if (check.unreported > 0) {
        print(name + ": note: " + std::to_string(check.unreported) + " more findings not shown\n");
    }
}

int cannotRead(const File& file, const FileText& text) {
    err("tarvik-config: cannot read " + file.name + ": " + text.error + "\n");
    return kRefused;
}

// Reports a document the driver cannot use; the file is not touched.
int unusable(const File& file, const tvd::ConfigCheck& check, bool changing) {
    printFindings(file.name, check, err);
    if (changing) {
        err("tarvik-config: " + file.name +
            " is not a usable settings document and was left as it is; fix it "
            "(tarvik-config check shows where) or replace it with the defaults "
            "(tarvik-config reset " +
            file.name + ")\n");
    } else {
        err("tarvik-config: " + file.name +
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
        err("tarvik-config: " + file.name + " does not exist: the driver uses the defaults\n");
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
    std::string message = "tarvik-config: unknown key '" + name + "'";
    const std::string suggestion = tvd::suggestConfigKey(name);
    if (!suggestion.empty()) {
        message += "; did you mean '" + suggestion + "'?";
    }
    err(message + " (tarvik-config keys lists every key)\n");
    return nullptr;
}

// The member of a document that holds `key` (created as null if missing, hence not const).
// cppcheck-suppress constParameter
json& memberFor(json& document, const tvd::ConfigKey& key) {
    return key.section[0] == '\0' ? document[key.key] : document[key.section][key.key];
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
                err("tarvik-config: the value for " + std::string(key.name) +
                    " is not valid UTF-8\n");
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
        err("tarvik-config: " + std::string(key.name) + " takes " + accepted + "; '" + text +
            "' is not one\n");
        return false;
    }
    return true;
}

// Writes `change` into the file under the save's exclusion.
int update(const File& file, const std::function<void(tvd::Config&)>& change) {
    tvd::Config config;
    const tvd::SaveOutcome outcome = tvd::updateConfigJsonOutcome(file.path, config, change);
    if (!outcome.ok()) {
        err("tarvik-config: " + outcome.message(file.path) + "\n");
        return kSaveFailed;
    }
    return kSuccess;
}

// set and reset KEY: the file must be usable (or missing) before one value is written.
int changeOne(const File& file, const tvd::ConfigKey& key, const json& value) {
    const FileText text = readText(file);
    // A locked file is left to the update, which waits for it as a load does.
    if (text.state == ReadState::Failed && !text.locked) {
        return cannotRead(file, text);
    }
    if (text.state == ReadState::Read) {
        const tvd::ConfigCheck check = tvd::checkConfigText(text.text);
        if (!check.usable) {
            return unusable(file, check, true);
        }
        if (!check.findings.empty()) {
            printFindings(file.name, check, err);
            err("tarvik-config: warning: the driver does not use what is listed above: keys it "
                "does not know are kept, values it skips are saved as its defaults\n");
        }
    }
    // Through the document, so that the value is applied by the same rule as in a load.
    return update(file, [&key, &value](tvd::Config& config) {
        json document = config;
        memberFor(document, key) = value;
        tvd::Config changed;
        tvd::from_json(document, changed);
        config = std::move(changed);
    });
}

int runCheck(const File& file) {
    const FileText text = readText(file);
    if (text.state == ReadState::Missing) {
        err("tarvik-config: " + file.name + " does not exist\n");
        return kRefused;
    }
    if (text.state == ReadState::Failed) {
        return cannotRead(file, text);
    }
    const tvd::ConfigCheck result = tvd::checkConfigText(text.text);
    printFindings(file.name, result, out);
    if (!result.usable) {
        return kRefused;
    }
    return result.findings.empty() ? kSuccess : kFindings;
}

int runShow(const File& file) {
    tvd::Config config;
    if (!effectiveSettings(file, config)) {
        return kRefused;
    }
    out(json(config).dump(4) + "\n");
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
        out(value.get_ref<const std::string&>() + "\n");
    } else {
        out(value.dump() + "\n");
    }
    return kSuccess;
}

int runSet(const File& file, const std::string& keyName, const std::string& text) {
    const tvd::ConfigKey* key = keyArgument(keyName);
    json value;
    if (key == nullptr || !valueArgument(*key, text, value)) {
        return kRefused;
    }
    return changeOne(file, *key, value);
}

int runReset(const File& file, const std::string* keyName) {
    if (keyName == nullptr) {
        return update(file, [](tvd::Config& config) { config = tvd::Config{}; });
    }
    const tvd::ConfigKey* key = keyArgument(*keyName);
    if (key == nullptr) {
        return kRefused;
    }
    json defaults = tvd::Config{};
    return changeOne(file, *key, memberFor(defaults, *key));
}

int runKeys() {
    json defaults = tvd::Config{};
    std::string text;
    for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
        std::string line = key.name;
        line.resize(32, ' ');
        line += tvd::typeName(key.type);
        line.resize(43, ' ');
        text += line + memberFor(defaults, key).dump() + "\n";
    }
    out(text);
    return kSuccess;
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        return usageError("no command given");
    }
    const std::string& command = arguments[1];
    const std::size_t operands = arguments.size() - 2;
    if (command == "--help" || command == "-h") {
        if (operands != 0) {
            return usageError("--help takes no arguments");
        }
        out(kUsage);
        out("\n");
        out(kHelp);
        return kSuccess;
    }
    if (command == "--version") {
        if (operands != 0) {
            return usageError("--version takes no arguments");
        }
        out("tarvik-config " TARVIK_CONFIG_VERSION "\n");
        return kSuccess;
    }
    if (command == "keys") {
        return operands == 0 ? runKeys() : usageError("keys takes no arguments");
    }

    struct Shape {
        const char* name;
        std::size_t least;
        std::size_t most;
    };
    const Shape shapes[] = {
        {"check", 1, 1}, {"show", 1, 1}, {"get", 2, 2}, {"set", 3, 3}, {"reset", 1, 2}};
    const Shape* shape = std::find_if(std::begin(shapes), std::end(shapes),
                                      [&command](const Shape& s) { return command == s.name; });
    if (shape == std::end(shapes)) {
        return usageError("unknown command '" + command + "'");
    }
    if (operands < shape->least || operands > shape->most) {
        return usageError("wrong number of arguments for " + command);
    }
    if (arguments[2].empty()) {
        return usageError("FILE is empty");
    }

    tarvik::common::globalLogger = std::make_shared<WarningLogger>();
    const File file = fileArgument(arguments[2]);
    if (command == "check") {
        return runCheck(file);
    }
    if (command == "show") {
        return runShow(file);
    }
    if (command == "get") {
        return runGet(file, arguments[3]);
    }
    if (command == "set") {
        return runSet(file, arguments[3], arguments[4]);
    }
    return runReset(file, operands == 2 ? &arguments[3] : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    int status = kSaveFailed;
    try {
        status = run(platform::commandLineArguments(argc, argv));
    } catch (const std::exception& error) {
        err(std::string("tarvik-config: ") + error.what() + "\n");
    }
    tarvik::common::globalLogger.reset();
    return status;
}
