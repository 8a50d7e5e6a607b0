// What the commands of tarvik-config share: the exit statuses, output that is safe on a terminal,
// the file named on the command line and how it is read, the findings of the checker as they
// are printed, and the key named on the command line.
//
// Exit status, one meaning each for every command: 0 done (check: no findings); 1 check found
// findings in a usable document; 2 refused, nothing changed: wrong arguments, an unknown key, a
// value that does not fit its key, a file that cannot be read, is not a usable document or is
// read-only; 3 failed: the save failed (the file is as it was), out of memory, or an internal
// error.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include <tarvik/common/Logging.h>
#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigKeys.h>

namespace tarvik::tools {

inline constexpr int kSuccess = 0;
inline constexpr int kFindings = 1;
inline constexpr int kRefused = 2;
inline constexpr int kFailed = 3;

// Standard output and standard error, written at once.
void out(std::string_view text);
void err(std::string_view text);

// Text from the command line or a file, shown as it is but with control characters and bytes
// that are not UTF-8 escaped.
std::string shown(std::string_view text);
// A multi-line text (a document) made safe line by line, so that its own line ends stay.
std::string shownLines(std::string_view text);

// Shows the library's warnings that tell the user what happened to their file (it was moved
// aside, and where to), escaped. The others (a locked file being retried, a swap tried again,
// naming Windows calls and error numbers) are for developers: what the user needs of them is
// in the one line that the tool prints from the result.
class WarningLogger final : public tarvik::common::ILogger {
public:
    void log(tarvik::common::LogLevel level, std::string_view message) override;
    void setLevel(tarvik::common::LogLevel) override {}
    tarvik::common::LogLevel getLevel() const override { return tarvik::common::LogLevel::Warn; }
};

// The file named on the command line: the name as the user wrote it (for commands suggested
// to them) and as messages show it, and the path to open (absolute, as the save requires a
// directory part).
struct File {
    std::string name;
    std::string shownName;
    std::filesystem::path path;
};

File fileArgument(const std::string& name);

enum class ReadState { Read, Missing, Failed };

struct FileText {
    ReadState state = ReadState::Failed;
    std::string text;
    std::string error;    // for Failed: why, in the OS's words
    bool locked = false;  // for Failed: another program holds the file open without sharing
};

// Reads the whole file without changing anything on disk.
FileText readText(const File& file);

// A finding as compilers write theirs, and its hint as a note at the place it concerns.
std::string findingLines(const File& file, const tarvik::driver::ConfigFinding& finding);

void printFindings(const File& file, const tarvik::driver::ConfigCheck& check,
                   void (*print)(std::string_view));

// Says that the file cannot be read; returns kRefused.
int cannotRead(const File& file, const FileText& text);

// Reports a document the driver cannot use; the file is not touched. Returns kRefused.
int unusable(const File& file, const tarvik::driver::ConfigCheck& check, bool changing);

// The settings the driver would use: the defaults overlaid with the file. False (after a
// message) when the file cannot be read or is not usable; a missing file gives the defaults.
bool effectiveSettings(const File& file, tarvik::driver::Config& config);

// The key named on the command line, or nullptr after a message.
const tarvik::driver::ConfigKey* keyArgument(const std::string& name);

// The member of a document that holds `key` (created as null if missing, hence not const).
nlohmann::json& memberFor(nlohmann::json& document, const tarvik::driver::ConfigKey& key);

// A value as JSON text, as people read it: a float setting in the fewest digits that give the
// same float (0.7, not 0.699999988079071).
std::string valueText(const tarvik::driver::ConfigKey& key, const nlohmann::json& value);

}  // namespace tarvik::tools
