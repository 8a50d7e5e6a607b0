// The tolerant load: missing file -> defaults; file locked by another process -> three tries,
// 50 ms apart; unusable document -> quarantine and defaults. A corrupt file is moved aside
// only while the saves' lock is held and only if it still holds what was read.
#include <chrono>
#include <functional>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>
#include "config/LogText.h"
#include "config/SaveLocking.h"
#include "platform/File.h"

namespace tarvik::driver {
namespace {

using common::logConcat;
using common::LogLevel;

constexpr int kOpenAttempts = 3;
constexpr std::chrono::milliseconds kRetryPause{50};
// While the saves' lock is held, a file found missing is read again this often, this far apart,
// where a swap hides the name for a moment (Windows): another program's swap is over long before.
constexpr int kMissingRereads = 3;
constexpr std::chrono::milliseconds kMissingPause{20};
// A corrupt file that changes under the load each time it is about to be moved aside is read
// again this often; after that it is left where it is.
constexpr int kReadRounds = 3;

// Sleeps at least `pause` on the monotonic clock, even if the sleep is cut short.
void pauseAtLeast(std::chrono::milliseconds pause) {
    const auto until = std::chrono::steady_clock::now() + pause;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(until - now));
    }
}

enum class ReadState { Read, Missing, Locked, Unreadable };

// Reads the whole file with the sharing-violation retries. Logs as the load always has.
ReadState readWithRetries(const std::filesystem::path& path, std::string& text,
                          platform::SaveLock* heldLock) {
    // On Windows a save in progress hides the target for a moment: a load that finds no file
    // takes the saves' lock (waiting for that save to finish) and reads again while holding it,
    // so that no other save can be between its two renames. Released when the read is done.
    // Under the lock (the load's own, or an update's) a file still missing is read again a few
    // times, briefly, for the swap of a program that does not take the lock.
    platform::SaveLock waitedForSaves;
    int missingRereads = 0;
    for (int attempts = 0;;) {
        if (attempts == kOpenAttempts) {
            logConcat(
                LogLevel::Warn,
                "config.json read failed after 3 SHARING_VIOLATION attempts; loading defaults");
            return ReadState::Locked;
        }
        const platform::ReadResult read = platform::readWholeFile(path, text);
        if (read.status == platform::ReadStatus::Ok) {
            return ReadState::Read;  // the file is closed again: the quarantine may move it
        }
        if (read.status == platform::ReadStatus::SharingViolation) {
            ++attempts;
            logConcat(LogLevel::Warn, "config.json sharing violation (attempt ", attempts,
                      "/3); retrying in 50 ms");
            pauseAtLeast(kRetryPause);
            continue;
        }
        if (platform::isNotFound(read.error) && platform::swapMayHideTarget()) {
            if (heldLock == nullptr && waitedForSaves.acquire(path, kSaveLockWait) == 0) {
                heldLock = &waitedForSaves;
                continue;  // read once more; if the lock could not be had, the file is missing
            }
            // Holding the lock keeps this library's saves out, not another program's swap,
            // which hides the name just as briefly: an update that took the file for missing
            // would write its record alone over that program's document.
            if (heldLock != nullptr && missingRereads < kMissingRereads) {
                ++missingRereads;
                pauseAtLeast(kMissingPause);
                continue;
            }
        }
        logConcat(LogLevel::Info, "No config file at ", detail::pathForLog(path),
                  "; using defaults (errno=", read.error, ")");
        return platform::isNotFound(read.error) ? ReadState::Missing : ReadState::Unreadable;
    }
}

enum class Quarantine { MovedAside, LeftInPlace, Changed };

// Moves the corrupt file aside if it still holds what the load read (`seen`); Changed when a
// save (or anyone) has put other bytes there since, which the caller then reads afresh.
Quarantine quarantineIfUnchanged(const std::filesystem::path& path, const detail::ReadDigest& seen,
                                 const platform::SaveLock* heldLock, std::string_view warning) {
    platform::SaveLock ownLock;
    if (heldLock == nullptr) {
        const platform::ErrorCode error = ownLock.acquire(path, kSaveLockWait);
        if (platform::isLockBusy(error)) {
            // A save holds the file for longer than any save takes (or holds it while its wait
            // could not even be made): leave the file to the next load rather than move it
            // under that save's hands.
            logConcat(LogLevel::Warn, warning);
            logConcat(LogLevel::Error, "Could not move corrupt config aside: another save holds ",
                      detail::pathForLog(path));
            return Quarantine::LeftInPlace;
        }
        if (error == 0) {
            detail::warnIfWithoutLock(ownLock, path);
        }
        // This thread holding the lock already (a load from inside an update's change) means
        // that no other save can run meanwhile. Any other failure (POSIX: a directory this user
        // may write but not read) means that no save of this library can hold the lock either.
        // Either way, go on without taking it.
    }
    std::string now;
    const platform::ReadResult again = platform::readWholeFile(path, now);
    if (again.status != platform::ReadStatus::Ok || !(detail::digestOf(now) == seen)) {
        return Quarantine::Changed;
    }
    now = std::string();
    logConcat(LogLevel::Warn, warning);
    return detail::moveCorruptAside(path) ? Quarantine::MovedAside : Quarantine::LeftInPlace;
}

}  // namespace

namespace detail {

ReadDigest digestOf(const std::string& text) {
    return {text.size(), std::hash<std::string_view>{}(text)};
}

LoadOutcome loadConfig(const std::filesystem::path& path, Config& config,
                       platform::SaveLock* heldLock, DocumentRead* update) {
    if (path.empty()) {
        return LoadOutcome::Unreadable;
    }
    for (int round = 1;; ++round) {
        std::string text;
        switch (readWithRetries(path, text, heldLock)) {
            case ReadState::Read:
                break;
            case ReadState::Missing:
                return LoadOutcome::Missing;
            case ReadState::Locked:
                return LoadOutcome::Locked;
            case ReadState::Unreadable:
                return LoadOutcome::Unreadable;
        }
        if (update != nullptr && update->gate != nullptr && !(*update->gate)(text)) {
            update->refused = true;
            return LoadOutcome::Read;
        }
        // No exceptions, no comments, nothing but white space after the value. The parsed value
        // is only ever read through references or moved: copying it would recurse once per
        // level of nesting, and a hostile file can nest deep enough to exhaust the stack.
        nlohmann::json document = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false,
                                                        /*ignore_comments=*/false);

        std::string warning;
        if (!document.is_object()) {
            warning = "Config file corrupted; backing up and using defaults: " + pathForLog(path);
        } else {
            try {
                from_json(document, config);
                logConcat(LogLevel::Info, "Driver loaded config from: ", pathTextForLog(path));
                if (update != nullptr && update->document != nullptr) {
                    *update->document = std::move(document);
                }
                return LoadOutcome::Read;
            } catch (const nlohmann::json::exception& error) {
                warning = std::string("Config from_json threw: ") + error.what() +
                          "; backing up + defaults";
            }
        }
        if (update != nullptr && update->leaveUnusable) {
            update->unusable = true;
            update->unusableText = std::move(text);
            return LoadOutcome::CorruptLeftInPlace;
        }
        // Only a corrupt document needs to be recognised again before it is moved aside.
        const ReadDigest seen = digestOf(text);
        text = std::string();
        switch (quarantineIfUnchanged(path, seen, heldLock, warning)) {
            case Quarantine::MovedAside:
                return LoadOutcome::CorruptMovedAside;
            case Quarantine::LeftInPlace:
                return LoadOutcome::CorruptLeftInPlace;
            case Quarantine::Changed:
                if (round == kReadRounds) {
                    logConcat(LogLevel::Warn, warning);
                    logConcat(LogLevel::Error,
                              "Could not move corrupt config aside: it keeps changing: ",
                              pathForLog(path));
                    return LoadOutcome::CorruptLeftInPlace;
                }
                break;  // another process saved meanwhile: read what it saved
        }
    }
}

}  // namespace detail

LoadOutcome loadConfigJsonOutcome(const std::filesystem::path& path, Config& config) {
    return detail::loadConfig(path, config, nullptr);
}

bool loadConfigJson(const std::filesystem::path& path, Config& config) {
    if (path.empty()) {
        return false;
    }
    (void)detail::loadConfig(path, config, nullptr);
    return true;
}

}  // namespace tarvik::driver
