// The atomic save: under the saves' lock of the target, write "<name>.tmp", flush it to stable
// storage, swap it over the target with one platform call, then make the directory entry
// durable.
#include <atomic>
#include <chrono>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>
#include "config/FileKnowledge.h"
#include "config/LogText.h"
#include "config/SaveLocking.h"
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
// returns the error on failure.
platform::ErrorCode createDirectoryChain(const std::filesystem::path& directory, bool& created) {
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
        return static_cast<platform::ErrorCode>(error.value());
    }
    // From the outermost new directory inwards, as they were created.
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        const platform::ErrorCode syncError = platform::syncDirectory(level->parent_path());
        if (syncError != 0) {
            logConcat(LogLevel::Error,
                      "Could not sync config directory: ", platform::errorText(syncError));
            return syncError;
        }
    }
    return 0;
}

// Another program's short hold of the target or the replacement (antivirus, indexer, backup
// or sync client) makes the swap fail on Windows: it is tried this often, this far apart, as
// Chromium's ImportantFileWriter does against antivirus scanners.
constexpr int kSwapAttempts = 5;
constexpr std::chrono::milliseconds kSwapRetryPause{100};

SaveOutcome failed(SaveFailure failure, platform::ErrorCode code = 0) {
    SaveOutcome outcome;
    outcome.failure = failure;
    if (code != 0) {
        outcome.error = std::error_code(static_cast<int>(code), std::system_category());
    }
    return outcome;
}

// ReplaceFileW (rename on POSIX), tried again while it fails with an error that a short-lived
// open by another program causes. Each retry is logged at WARN.
platform::ErrorCode replaceWithRetries(const std::filesystem::path& path,
                                       const std::filesystem::path& tempPath) {
    for (int attempt = 1;; ++attempt) {
        const platform::ErrorCode error = platform::replaceFile(path, tempPath);
        if (error == 0 || attempt == kSwapAttempts || !platform::isTransientSwapError(error)) {
            return error;
        }
        const platform::SwapCallNames calls = platform::swapCallNames();
        logConcat(LogLevel::Warn, calls.replace, " failed (", calls.error, "=", error, ", attempt ",
                  attempt, "/", kSwapAttempts, "); retrying in ", kSwapRetryPause.count(), " ms");
        std::this_thread::sleep_for(kSwapRetryPause);
    }
}

}  // namespace

namespace detail {

SaveOutcome acquireSaveLock(const std::filesystem::path& path, platform::SaveLock& lock) {
    const std::filesystem::path directory = path.parent_path();
    if (directory.empty()) {
        // A bare file name is refused: the save only writes where the caller named a directory.
        logConcat(LogLevel::Error, "Could not create config directory: ",
                  std::make_error_code(std::errc::no_such_file_or_directory).message());
        SaveOutcome outcome = failed(SaveFailure::InvalidPath);
        outcome.error = std::make_error_code(std::errc::no_such_file_or_directory);
        return outcome;
    }
    const std::filesystem::path fileName = path.filename();
    if (fileName.empty() || fileName == "." || fileName == "..") {
        // "dir/", "dir/." and "dir/.." name a directory, not a file: refused before anything
        // is created, as a bare file name is.
        logConcat(LogLevel::Error,
                  "Could not save config: the path names no file: ", detail::pathForLog(path));
        return failed(SaveFailure::InvalidPath);
    }
    platform::ErrorCode error = lock.acquire(path, kSaveLockWait);
    if (error != 0 && !platform::isLockBusy(error) && !platform::isLockReentered(error)) {
        // The lock lives on the directory, which a first save may have to create. A directory
        // that cannot be created (its parent is a file, say) is reported as such, as the save
        // reports it; one that exists leaves the lock's own error.
        bool created = false;
        if (const platform::ErrorCode createError = createDirectoryChain(directory, created)) {
            return failed(SaveFailure::CreateDirectory, createError);
        }
        if (created) {
            error = lock.acquire(path, kSaveLockWait);
        }
    }
    if (error == 0) {
        warnIfWithoutLock(lock, path);
        return {};
    }
    if (platform::isLockTimeout(error)) {
        logConcat(LogLevel::Error, "Could not save config: another save holds ",
                  detail::pathForLog(path), " (waited ", kSaveLockWait.count(), " ms)");
        return failed(SaveFailure::Busy);
    }
    if (platform::isLockReentered(error)) {
        // Waiting would wait for this very thread (POSIX), or let it in a second time, so that
        // the outer save would then overwrite what this one wrote (Windows).
        logConcat(LogLevel::Error, "Could not save config: ", detail::pathForLog(path),
                  " is being saved or updated by this thread already (a save from inside an "
                  "update's change?)");
        return failed(SaveFailure::Reentered);
    }
    logConcat(LogLevel::Error, "Could not lock config file ", detail::pathForLog(path), ": ",
              platform::errorText(error));
    // Busy only when another holder has the lock (POSIX: and its wait could not be made); a
    // directory that may be written but not read cannot be locked by anyone of this user.
    return failed(platform::isLockBusy(error) ? SaveFailure::Busy : SaveFailure::Lock, error);
}

void warnIfWithoutLock(const platform::SaveLock& lock, const std::filesystem::path& path) {
    static std::atomic<bool> warned{false};
    if (lock.unsupported() != 0 && !warned.exchange(true)) {
        logConcat(LogLevel::Warn, "Could not lock config file ", detail::pathForLog(path), ": ",
                  platform::errorText(lock.unsupported()),
                  "; saving without excluding other saves (this message is shown once)");
    }
}

SaveOutcome writeHoldingLock(const std::filesystem::path& path, const std::string& text,
                             platform::SaveLock& lock, const Config* written, const Config* base) {
    // Lets this process's watchers recognise the document as the process's own when they read
    // it, and learn what it changed.
    detail::OwnSaveRecord ownSave(path, text, base, written);
    const std::filesystem::path directory = path.parent_path();
    std::filesystem::path tempName = path.filename();
    tempName += ".tmp";
    const std::filesystem::path tempPath = directory / tempName;

    // The directory nearly always exists: open first and create the directory chain only when
    // the open fails, which spares every save a status query of the directory. The outcome is
    // that of creating first: a directory that cannot be created is reported as such, and the
    // open is tried again only if something was missing.
    platform::WritableFile file;
    if (platform::ErrorCode openError = file.open(tempPath, path); openError != 0) {
        bool created = false;
        if (const platform::ErrorCode createError = createDirectoryChain(directory, created)) {
            return failed(SaveFailure::CreateDirectory, createError);
        }
        if (created) {
            openError = file.open(tempPath, path);
        }
        if (openError != 0) {
            logConcat(LogLevel::Error,
                      "Could not open temp config file: ", detail::pathForLog(tempPath));
            return failed(SaveFailure::OpenTemp, openError);
        }
    }
    // The data must be on stable storage before the swap: otherwise a power cut after the swap
    // can leave the target empty or full of zeros. A failure here is not logged (the caller
    // gets it in the outcome).
    platform::ErrorCode writeError = file.write(text);
    if (writeError == 0) {
        writeError = file.sync();
    }
    const platform::ErrorCode closeError = file.close();
    if (writeError != 0 || closeError != 0) {
        removeQuietly(tempPath);
        return failed(SaveFailure::WriteTemp, writeError != 0 ? writeError : closeError);
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
    // Each platform names its own calls: "ReplaceFileW failed (GetLastError=5)" on Windows,
    // "rename failed (errno=5)" on POSIX.
    const platform::SwapCallNames calls = platform::swapCallNames();
    if (targetExists) {
        const platform::ErrorCode replaceError = replaceWithRetries(path, tempPath);
        if (replaceError != 0) {
            logConcat(LogLevel::Error, calls.replace, " failed (", calls.error, "=", replaceError,
                      ")");
            if (!platform::replaceMayHaveRemovedTarget(replaceError)) {
                removeQuietly(tempPath);
                return failed(SaveFailure::Swap, replaceError);
            }
            // The target may be gone already and the temporary file hold the only copy of the
            // new document: move it into place instead of deleting it.
            const platform::ErrorCode moveError = platform::moveIntoPlace(tempPath, path);
            if (moveError != 0) {
                logConcat(LogLevel::Error, calls.moveIntoPlace, " failed on first save (",
                          calls.error, "=", moveError, ")");
                return failed(SaveFailure::Swap, moveError);  // the temporary file is kept
            }
        }
    } else {
        const platform::ErrorCode moveError = platform::moveIntoPlace(tempPath, path);
        if (moveError != 0) {
            logConcat(LogLevel::Error, calls.moveIntoPlace, " failed on first save (", calls.error,
                      "=", moveError, ")");
            removeQuietly(tempPath);
            return failed(SaveFailure::Swap, moveError);
        }
    }

    ownSave.landed();
    // Without this the new name may not survive a power cut, so success cannot be reported.
    const platform::ErrorCode syncError = lock.syncDirectory();
    if (syncError != 0) {
        logConcat(LogLevel::Error,
                  "Could not sync config directory: ", platform::errorText(syncError));
        return failed(SaveFailure::SyncDirectory, syncError);
    }
    return {};
}

}  // namespace detail

SaveOutcome writeFileAtomicOutcome(const std::filesystem::path& path, const std::string& text) {
    platform::SaveLock lock;
    if (SaveOutcome locked = detail::acquireSaveLock(path, lock); !locked) {
        return locked;
    }
    return detail::writeHoldingLock(path, text, lock);
}

bool writeFileAtomic(const std::filesystem::path& path, const std::string& text) {
    return writeFileAtomicOutcome(path, text).ok();
}

SaveOutcome saveConfigJsonOutcome(const std::filesystem::path& path, const Config& config) {
    const std::string text = detail::documentText(config);
    platform::SaveLock lock;
    if (SaveOutcome locked = detail::acquireSaveLock(path, lock); !locked) {
        return locked;
    }
    return detail::writeHoldingLock(path, text, lock, &config);
}

bool saveConfigJson(const std::filesystem::path& path, const Config& config) {
    return saveConfigJsonOutcome(path, config).ok();
}

}  // namespace tarvik::driver
