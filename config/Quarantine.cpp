// Moves an unusable configuration file aside under a time-stamped name and keeps the five
// greatest backup names of its directory.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <vector>

#include "common/Logging.h"
#include "config/ConfigFile.h"
#include "config/LogText.h"
#include "config/SaveLocking.h"
#include "platform/File.h"
#include "platform/Time.h"

namespace tarvik::driver {
namespace {

using common::logConcat;
using common::LogLevel;

constexpr char kBackupPrefix[] = "config.json.corrupted.";
constexpr std::size_t kBackupsKept = 5;

std::string localTimeStamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    const std::tm local = platform::localCalendarTime(now);
    std::ostringstream stamp;
    stamp << std::put_time(&local, "%Y%m%d-%H%M%S");
    return stamp.str();
}

// Removes every backup in `directory` but the kBackupsKept greatest names. A listing that
// cannot be opened or fails part-way prunes nothing; a removal that fails is skipped.
void pruneBackups(const std::filesystem::path& directory) {
    // Compared in the native form, so that names without a narrow form need no conversion.
    const std::filesystem::path::string_type prefix = std::filesystem::path(kBackupPrefix).native();
    std::error_code error;
    std::filesystem::directory_iterator listing(directory, error);
    if (error) {
        return;
    }
    std::vector<std::filesystem::path> backups;
    for (const std::filesystem::directory_iterator end; listing != end; listing.increment(error)) {
        if (error) {
            return;
        }
        const std::filesystem::path& entry = listing->path();
        const std::filesystem::path fileName = entry.filename();
        const auto& name = fileName.native();
        if (name.size() >= prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
            backups.push_back(entry);
        }
    }
    if (error || backups.size() <= kBackupsKept) {
        return;
    }
    // Only the greatest five need to be in order; everything after them goes.
    std::nth_element(backups.begin(), backups.begin() + kBackupsKept, backups.end(),
                     std::greater<std::filesystem::path>());
    for (auto it = backups.begin() + kBackupsKept; it != backups.end(); ++it) {
        std::error_code ignored;
        std::filesystem::remove(*it, ignored);
    }
}

}  // namespace

namespace detail {

bool moveCorruptAside(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error) || error) {
        return false;
    }
    const std::filesystem::path directory = path.parent_path();
    const std::filesystem::path backup = directory / (kBackupPrefix + localTimeStamp());

    const platform::ErrorCode moveError = platform::moveAside(path, backup);
    if (moveError != 0) {
        logConcat(LogLevel::Error, "Could not rename corrupt config to ",
                  detail::pathForLog(backup), ": ", platform::errorText(moveError));
        return false;
    }
    logConcat(LogLevel::Warn, "Backed up corrupt config to: ", detail::pathForLog(backup));
    // A bare file name has no directory to list: its backup stays in the current directory and
    // nothing there is pruned.
    if (!directory.empty()) {
        pruneBackups(directory);
    }
    return true;
}

}  // namespace detail

void backupCorruptConfig(const std::filesystem::path& path) {
    (void)detail::moveCorruptAside(path);
}

}  // namespace tarvik::driver
