// Saving and loading the settings record as one JSON document: load once at start-up, save
// whenever a setting changes.
//
//   #include "config/ConfigFile.h"
//   namespace tvd = tarvik::driver;
//   const std::filesystem::path path = settingsDirectory / "config.json";  // absolute
//   tvd::Config config;                             // defaults (set your own here)
//   tvd::loadConfigJson(path, config);              // overlay what the file holds
//   config.detection.sensitivity = 0.5f;
//   if (!tvd::saveConfigJson(path, config)) { /* see the log; keep running */ }
//
// What a caller may rely on:
// - A save never leaves a half-written file under `path`: the text goes to the sibling
//   "<name>.tmp", is flushed to stable storage and is then swapped over the target with one
//   platform call. true means the new document is in place and durable and no ".tmp" is left.
//   false means the save failed; the previous document is normally intact (see
//   writeFileAtomic() for the exceptions). Nothing is retried and no backup is made.
// - `path` must name a directory as well as a file: missing directories are created, but a
//   bare file name such as "config.json" is refused (false), not taken as relative to the
//   working directory; so is a path that names no file ("dir/", "dir/.", "dir/..").
// - A load keeps going whatever the file holds and returns true on every path but an empty
//   path name: a missing or unreadable file leaves the record alone; a file held open by
//   another process without sharing (Windows) is tried three times, 50 ms apart; a document
//   that is not a JSON object (an empty file, say) is moved aside as
//   "config.json.corrupted.<local time>" (five such backups are kept) and the record keeps
//   the caller's values. Only the log tells which. Within an object, values of the wrong type
//   or out of range are skipped one by one (see config/Config.h); the file is kept.
// - The load overlays the file onto the record it is given and never resets it: pass a record
//   holding your defaults, not one left over from an earlier load.
// - Both block on file I/O (a save waits for the disk; a load may wait 150 ms for a locked
//   file): call them from a start-up or settings thread, not from an audio callback.
// - Every outcome is logged through tarvik::common::logMessage (which drops it while no
//   logger is installed; nothing depends on a logger): INFO for a loaded or missing file,
//   WARN for a locked or corrupt one and for the backup made of it, ERROR for a failed save
//   (except a failed write of the temporary file, which is silent) and for a corrupt file
//   that could not be moved aside. Paths appear in their narrow form.
// - Exceptions that escape: std::bad_alloc; from a save, nlohmann::json::type_error 316 when a
//   narrow string field holds invalid UTF-8 (raised before anything touches the disk). No
//   file-system trouble is reported by exception. A path that has no narrow form appears in
//   messages as UTF-8; it never makes a call fail.
// - Two saves of the same target must not overlap (they share the ".tmp" name): callers
//   serialise them. Saves of different targets, and loads, may run on any thread. A load
//   that runs during a save of the same file never reads a half-written document; on Windows
//   it may meet the swap in progress and keep the caller's values.
#pragma once

#include <filesystem>
#include <string>

#include "config/Config.h"

namespace tarvik::driver {

// Replaces `path` with `text` so that readers see either the old or the new document, never a
// mix. Creates missing directories. On failure returns false and logs at ERROR (except for a
// failed write of the temporary file); the target is as it was and the temporary file is
// removed, with two exceptions: when a Windows replace fails after it has removed the target
// and the following move fails too, the ".tmp" file is kept as the only copy of the new text;
// and when only the final sync of the directory fails, the new document is already in place
// but not known to survive a power cut.
[[nodiscard]] bool writeFileAtomic(const std::filesystem::path& path, const std::string& text);

// Serialises `config` (four-space indentation, keys in order, UTF-8, no final newline) and
// writes it with writeFileAtomic().
[[nodiscard]] bool saveConfigJson(const std::filesystem::path& path, const Config& config);

// Overlays the document at `path` onto `config`, which the caller has filled with defaults.
// Returns false only for an empty path; see above for everything else. Not [[nodiscard]]: a
// caller with a non-empty path has nothing to decide from the result.
bool loadConfigJson(const std::filesystem::path& path, Config& config);

// Moves an unusable configuration file aside in its own directory, as
// "config.json.corrupted." followed by the local time ("%Y%m%d-%H%M%S"); a backup never
// replaces another, so a name already taken within that second gets "-001", "-002", ...
// appended. Keeps at most five backups: the one just made, whatever its name, and the four
// greatest other names. Reports only through the log. The caller must have closed the file.
void backupCorruptConfig(const std::filesystem::path& path);

}  // namespace tarvik::driver
