// What the commands of tarvik-config share (see CommandSupport.h).
#include "tools/tarvik-config/CommandSupport.h"

#include <algorithm>
#include <iterator>
#include <system_error>

#include "platform/CommandLine.h"
#include "platform/File.h"

namespace tarvik::tools {

namespace fs = std::filesystem;
namespace tvd = tarvik::driver;
using json = nlohmann::json;

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

void WarningLogger::log(tarvik::common::LogLevel level, std::string_view message) {
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

File fileArgument(const std::string& name) {
    const fs::path given = fs::u8path(name);
    std::error_code ignored;
    fs::path absolute = fs::absolute(given, ignored);
    return {name, shown(name), absolute.empty() ? given : absolute};
}

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

namespace {

std::string place(const File& file, std::size_t line, std::size_t column) {
    std::string text = file.shownName;
    if (line != 0) {
        text += ":" + std::to_string(line) + ":" + std::to_string(column);
    }
    return text;
}

// The command that replaces the file with the defaults, as the user can type it: the name
// quoted for the shell, or described when it holds characters that a terminal cannot show.
std::string resetCommand(const File& file) {
    if (file.shownName != file.name) {
        return "tarvik-config reset FILE, with FILE as given";
    }
    return "tarvik-config reset " + platform::quoteForShell(file.name);
}

}  // namespace

std::string findingLines(const File& file, const tvd::ConfigFinding& finding) {
    // A number that no setting means is only a note: the driver takes it, and it may be meant.
    const char* const severity = finding.fatal() ? ": error: "
                                 : finding.kind == tvd::ConfigFinding::Kind::Implausible
                                     ? ": note: "
                                     : ": warning: ";
    std::string text =
        place(file, finding.line, finding.column) + severity + finding.message + "\n";
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

// cppcheck-suppress constParameter
json& memberFor(json& document, const tvd::ConfigKey& key) {
    return key.section[0] == '\0' ? document[key.key] : document[key.section][key.key];
}

std::string valueText(const tvd::ConfigKey& key, const json& value) {
    if (key.type == tvd::ValueType::Float && value.is_number()) {
        return tvd::floatText(value.get<float>());
    }
    return value.dump();
}

}  // namespace tarvik::tools
