// The tolerant load: missing file -> defaults; file locked by another process -> three tries,
// 50 ms apart; unusable document -> quarantine and defaults.
#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/Logging.h"
#include "config/ConfigFile.h"
#include "config/LogText.h"
#include "platform/File.h"

namespace tarvik::driver {
namespace {

using common::logConcat;
using common::LogLevel;

constexpr int kOpenAttempts = 3;
constexpr std::chrono::milliseconds kRetryPause{50};

// Sleeps at least `pause` on the monotonic clock, even if the sleep is cut short.
void pauseAtLeast(std::chrono::milliseconds pause) {
    const auto until = std::chrono::steady_clock::now() + pause;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(until - now));
    }
}

}  // namespace

bool loadConfigJson(const std::filesystem::path& path, Config& config) {
    if (path.empty()) {
        return false;
    }

    std::string text;
    for (int attempts = 0;;) {
        if (attempts == kOpenAttempts) {
            logConcat(
                LogLevel::Warn,
                "config.json read failed after 3 SHARING_VIOLATION attempts; loading defaults");
            return true;
        }
        const platform::ReadResult read = platform::readWholeFile(path, text);
        if (read.status == platform::ReadStatus::Ok) {
            break;  // the file is closed again: the quarantine below may move it
        }
        if (read.status == platform::ReadStatus::SharingViolation) {
            ++attempts;
            logConcat(LogLevel::Warn, "config.json sharing violation (attempt ", attempts,
                      "/3); retrying in 50 ms");
            pauseAtLeast(kRetryPause);
            continue;
        }
        logConcat(LogLevel::Info, "No config file at ", detail::pathForLog(path),
                  "; using defaults (errno=", read.error, ")");
        return true;
    }

    // No exceptions, no comments, nothing but white space after the value. The parsed value is
    // only ever read through references: copying or dumping it would recurse once per level of
    // nesting, and a hostile file can nest deep enough to exhaust the stack.
    const nlohmann::json document =
        nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    text = std::string();  // the text is no longer needed: release it before converting
    if (!document.is_object()) {
        logConcat(LogLevel::Warn, "Config file corrupted; backing up and using defaults: ",
                  detail::pathForLog(path));
        backupCorruptConfig(path);
        return true;
    }

    try {
        from_json(document, config);
    } catch (const nlohmann::json::exception& error) {
        logConcat(LogLevel::Warn, "Config from_json threw: ", error.what(),
                  "; backing up + defaults");
        backupCorruptConfig(path);
        return true;
    }
    logConcat(LogLevel::Info, "Driver loaded config from: ", detail::pathForLog(path));
    return true;
}

}  // namespace tarvik::driver
