// Moves an unusable configuration file aside under a time-stamped name and keeps at most five
// backups of that file in its directory: the one just made and the four greatest other names.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>
#include "config/LogText.h"
#include "config/SaveLocking.h"
#include "platform/File.h"
#include "platform/Time.h"

namespace tarvik::driver {
namespace {

using common::logConcat;
using common::LogLevel;

// A backup's name is the file's own name, this infix and the time stamp: config.json's backups
// are "config.json.corrupted.<stamp>", and another file's never share their prefix.
constexpr char kBackupInfix[] = ".corrupted.";
constexpr std::size_t kBackupsKept = 5;

std::string localTimeStamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    const std::tm local = platform::localCalendarTime(now);
    std::ostringstream stamp;
    stamp << std::put_time(&local, "%Y%m%d-%H%M%S");
    return stamp.str();
}

// How many names a collision may try: far more quarantines than one second can hold.
constexpr int kCollisionSuffixes = 999;

// The backup path for `stamp` in `directory` that names nothing yet: a backup never replaces
// another. The first quarantine of a second gets the plain stamp; one that finds it taken (a
// second quarantine within that second) gets "-001", "-002", ... appended, which still sorts
// with its second and after the earlier backups of that second. Anything whose status cannot
// be read counts as taken. Empty when every name is taken.
std::optional<std::filesystem::path> unusedBackupPath(const std::filesystem::path& directory,
                                                      const std::filesystem::path& base) {
    for (int suffix = 0; suffix <= kCollisionSuffixes; ++suffix) {
        std::filesystem::path name = base;
        if (suffix > 0) {
            const std::string digits = std::to_string(suffix);
            name += "-" + std::string(3 - digits.size(), '0') + digits;
        }
        const std::filesystem::path candidate = directory / name;
        std::error_code error;
        if (std::filesystem::symlink_status(candidate, error).type() ==
            std::filesystem::file_type::not_found) {
            return candidate;
        }
    }
    return std::nullopt;
}

// Removes every backup in `directory` whose name begins with `prefix` but `newest`, the one just
// made, and the kBackupsKept - 1 greatest other names. The new backup is kept whatever its name:
// after the clock went back (a fall-back to standard time, a change of time zone, backups stamped
// by a clock that ran ahead) it can sort below older ones, and it may hold the only copy of the
// user's settings. A listing that cannot be opened or fails part-way prunes nothing; a
// removal that fails is skipped.
void pruneBackups(const std::filesystem::path& directory, const std::filesystem::path& prefixPath,
                  const std::filesystem::path& newest) {
    // Compared in the native form, so that names without a narrow form need no conversion.
    const std::filesystem::path::string_type& prefix = prefixPath.native();
    const std::filesystem::path newestName = newest.filename();
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
        if (name.size() >= prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name != newestName.native()) {
            backups.push_back(entry);
        }
    }
    constexpr std::size_t kOthersKept = kBackupsKept - 1;
    if (error || backups.size() <= kOthersKept) {
        return;
    }
    // Only the greatest four need to be in order; everything after them goes.
    std::nth_element(backups.begin(), backups.begin() + kOthersKept, backups.end(),
                     std::greater<std::filesystem::path>());
    for (auto it = backups.begin() + kOthersKept; it != backups.end(); ++it) {
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
    std::filesystem::path prefix = path.filename();
    prefix += kBackupInfix;
    std::filesystem::path base = prefix;
    base += localTimeStamp();
    const std::optional<std::filesystem::path> unused = unusedBackupPath(directory, base);
    if (!unused) {
        logConcat(LogLevel::Error, "Could not rename corrupt config to ",
                  detail::pathForLog(directory / base), ": ",
                  std::make_error_code(std::errc::file_exists).message());
        return false;
    }
    const std::filesystem::path& backup = *unused;

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
        pruneBackups(directory, prefix, backup);
    }
    return true;
}

}  // namespace detail

void backupCorruptConfig(const std::filesystem::path& path) {
    (void)detail::moveCorruptAside(path);
}

}  // namespace tarvik::driver
