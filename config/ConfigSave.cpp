// The atomic save: write "<name>.tmp", flush it to stable storage, swap it over the target with
// one platform call, then make the directory entry durable.
#include <optional>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/Logging.h"
#include "config/ConfigFile.h"
#include "config/LogText.h"
#include "platform/File.h"

namespace tarvik::driver {
namespace {

using common::logConcat;
using common::LogLevel;

void removeQuietly(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

// Creates the missing directories of `directory` and makes each new entry durable in its
// parent: without that, a power cut could take the whole new chain, and the saved file with
// it, after the save reported success. `created` tells whether anything was missing. Logs and
// returns false on failure.
bool createDirectoryChain(const std::filesystem::path& directory, bool& created) {
    std::vector<std::filesystem::path> missing;
    std::error_code statusError;
    for (std::filesystem::path level = directory;
         !level.empty() && !std::filesystem::exists(level, statusError);
         level = level.parent_path()) {
        missing.push_back(level);
        if (level == level.parent_path()) {
            break;  // a root that does not exist: create_directories reports it below
        }
    }
    created = !missing.empty();
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        logConcat(LogLevel::Error, "Could not create config directory: ", error.message());
        return false;
    }
    // From the outermost new directory inwards, as they were created.
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        const platform::ErrorCode syncError = platform::syncDirectory(level->parent_path());
        if (syncError != 0) {
            logConcat(LogLevel::Error,
                      "Could not sync config directory: ", platform::errorText(syncError));
            return false;
        }
    }
    return true;
}

}  // namespace

bool writeFileAtomic(const std::filesystem::path& path, const std::string& text) {
    const std::filesystem::path directory = path.parent_path();
    if (directory.empty()) {
        // A bare file name is refused: the save only writes where the caller named a directory.
        logConcat(LogLevel::Error, "Could not create config directory: ",
                  std::make_error_code(std::errc::no_such_file_or_directory).message());
        return false;
    }
    const std::filesystem::path fileName = path.filename();
    if (fileName.empty() || fileName == "." || fileName == "..") {
        // "dir/", "dir/." and "dir/.." name a directory, not a file: refused before anything
        // is created, as a bare file name is.
        logConcat(LogLevel::Error,
                  "Could not save config: the path names no file: ", detail::pathForLog(path));
        return false;
    }

    std::filesystem::path tempName = fileName;
    tempName += ".tmp";
    const std::filesystem::path tempPath = directory / tempName;

    // The directory nearly always exists: open first and create the directory chain only when
    // the open fails, which spares every save a status query of the directory. The outcome is
    // that of creating first: a directory that cannot be created is reported as such, and the
    // open is tried again only if something was missing.
    platform::WritableFile file;
    if (file.open(tempPath, path) != 0) {
        bool created = false;
        if (!createDirectoryChain(directory, created)) {
            return false;
        }
        if (!created || file.open(tempPath, path) != 0) {
            logConcat(LogLevel::Error,
                      "Could not open temp config file: ", detail::pathForLog(tempPath));
            return false;
        }
    }
    // The data must be on stable storage before the swap: otherwise a power cut after the swap
    // can leave the target empty or full of zeros.
    platform::ErrorCode writeError = file.write(text);
    if (writeError == 0) {
        writeError = file.sync();
    }
    const platform::ErrorCode closeError = file.close();
    if (writeError != 0 || closeError != 0) {
        removeQuietly(tempPath);
        return false;
    }

    // The open already asked whether the target exists (for its permission bits) where the
    // platform needs that: its answer spares a second status query of the same path.
    bool targetExists = false;
    if (const std::optional<bool> found = file.permissionsSourceExists()) {
        targetExists = *found;
    } else {
        std::error_code statusError;
        targetExists = std::filesystem::exists(path, statusError) && !statusError;
    }
    if (targetExists) {
        const platform::ErrorCode replaceError = platform::replaceFile(path, tempPath);
        if (replaceError != 0) {
            logConcat(LogLevel::Error, "ReplaceFileW failed (GetLastError=", replaceError, ")");
            if (!platform::replaceMayHaveRemovedTarget(replaceError)) {
                removeQuietly(tempPath);
                return false;
            }
            // The target may be gone already and the temporary file hold the only copy of the
            // new document: move it into place instead of deleting it.
            const platform::ErrorCode moveError = platform::moveIntoPlace(tempPath, path);
            if (moveError != 0) {
                logConcat(LogLevel::Error,
                          "MoveFileExW failed on first save (GetLastError=", moveError, ")");
                return false;  // the temporary file is kept: it is the only copy
            }
        }
    } else {
        const platform::ErrorCode moveError = platform::moveIntoPlace(tempPath, path);
        if (moveError != 0) {
            logConcat(LogLevel::Error, "MoveFileExW failed on first save (GetLastError=", moveError,
                      ")");
            removeQuietly(tempPath);
            return false;
        }
    }

    // Without this the new name may not survive a power cut, so success cannot be reported.
    const platform::ErrorCode syncError = platform::syncDirectory(directory);
    if (syncError != 0) {
        logConcat(LogLevel::Error,
                  "Could not sync config directory: ", platform::errorText(syncError));
        return false;
    }
    return true;
}

bool saveConfigJson(const std::filesystem::path& path, const Config& config) {
    nlohmann::json document;
    to_json(document, config);
    // Indent 4 with spaces, raw UTF-8, strict: invalid UTF-8 throws before the disk is touched.
    return writeFileAtomic(path, document.dump(4));
}

}  // namespace tarvik::driver
