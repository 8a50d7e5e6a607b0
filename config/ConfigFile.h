// Saving and loading the settings record as one JSON document.
//
//   namespace tvd = tarvik::driver;
//   tvd::Config config;                             // defaults
//   tvd::loadConfigJson(path, config);              // overlay what the file holds
//   config.detection.sensitivity = 0.5f;
//   if (!tvd::saveConfigJson(path, config)) { /* the old file is still intact */ }
//
// What a caller may rely on:
// - A save never leaves a half-written file under `path`: the text goes to the sibling
//   "<name>.tmp", is flushed to stable storage and is then swapped over the target with one
//   platform call. true means the new document is in place and durable and no ".tmp" is left.
// - A load keeps going whatever the file holds and returns true on every path but an empty
//   path name: a missing or unreadable file leaves the record alone; a file held open by
//   another process without sharing (Windows) is tried three times, 50 ms apart; a document
//   that is not a JSON object is moved aside as "config.json.corrupted.<local time>" (five such
//   backups are kept) and the record keeps the caller's values. Only the log tells which.
// - Every outcome is logged through tarvik::common::logMessage; nothing depends on a logger.
// - Exceptions that escape: std::bad_alloc; from a save, nlohmann::json::type_error 316 when a
//   narrow string field holds invalid UTF-8 (raised before anything touches the disk).
//   A path that has no narrow form appears in messages as UTF-8; it never makes a call fail.
// - Two saves of the same target must not overlap (they share the ".tmp" name): callers
//   serialise them. Saves of different targets, and loads, may run on any thread.
#pragma once

#include <filesystem>
#include <string>

#include "config/Config.h"

namespace tarvik::driver {

// Replaces `path` with `text` so that readers see either the old or the new document, never a
// mix. Creates missing directories. On failure returns false and logs at ERROR (except for a
// failed write of the temporary file); the target is as it was and the temporary file is
// removed, except when it is the only copy of the new text (see the Windows notes in the log).
[[nodiscard]] bool writeFileAtomic(const std::filesystem::path& path, const std::string& text);

// Serialises `config` (four-space indentation, keys in order, UTF-8, no final newline) and
// writes it with writeFileAtomic().
[[nodiscard]] bool saveConfigJson(const std::filesystem::path& path, const Config& config);

// Overlays the document at `path` onto `config`, which the caller has filled with defaults.
// Returns false only for an empty path; see above for everything else.
bool loadConfigJson(const std::filesystem::path& path, Config& config);

// Moves an unusable configuration file aside in its own directory, as
// "config.json.corrupted." followed by the local time ("%Y%m%d-%H%M%S"), and keeps the five
// greatest such names. Reports only through the log. The caller must have closed the file.
void backupCorruptConfig(const std::filesystem::path& path);

}  // namespace tarvik::driver
