// Saving and loading the settings record as one JSON document: load once at start-up, change
// settings with an update (or save the whole record) whenever they change.
//
//   #include <tarvik/config/ConfigFile.h>
//   namespace tvd = tarvik::driver;
//   const std::filesystem::path path = settingsDirectory / "config.json";  // absolute
//   tvd::Config config;                                   // defaults (set your own here)
//   const tvd::LoadOutcome found = tvd::loadConfigJsonOutcome(path, config);
//   ...
//   // the user moves a slider: read, change and write in one step, under the saves' lock;
//   // `config` then holds what the file holds
//   if (!tvd::updateConfigJson(path, config,
//                              [](tvd::Config& c) { c.detection.sensitivity = 0.5f; })) {
//       /* the log says why; the file and `config` are as they were */
//   }
//
// What a caller may rely on:
// - A save never leaves a half-written file under `path`: the text goes to the sibling
//   "<name>.tmp", is flushed to stable storage and is then swapped over the target with one
//   platform call. true means the new document is in place and durable and no ".tmp" is left.
//   false means the save failed; the previous document is normally intact (see
//   writeFileAtomic() for the exceptions). A swap that another program's short hold of the
//   file refuses (Windows: antivirus, indexers, backup and sync clients) is tried 5 times,
//   100 ms apart; nothing else is retried and no backup is made.
// - Several threads and processes may save, update and load one file at the same time. Saves
//   and updates of files in one directory exclude each other, however the path spells the
//   directory (see platform::SaveLock in platform/File.h for how): a save waits up to
//   kSaveLockWait (2 s) for another one, then fails with an ERROR that says another save holds
//   the file, and writes nothing. The exclusion dies with its holder: a killed process never
//   blocks the next save. A save that gives up leaves nothing waiting behind but, per directory
//   and process, one thread that lets the lock go as soon as it gets it (POSIX); a driver
//   module that ever waited so is not unmapped by a later dlclose(). Where the file system
//   refuses to lock (POSIX: ENOLCK, EOPNOTSUPP, ENOSYS, as some network file systems do),
//   saves go on without excluding each other, and the first one of the process says so at
//   WARN. A load never sees a half-done swap (on Windows a load that finds no file while a
//   save swaps waits for it and reads again), never makes a swap fail (it opens the file with
//   delete sharing on Windows), and moves aside only the corrupt file it read, never a
//   document saved since.
// - Two callers that each save a whole record still overwrite each other's changes (the last
//   save wins). updateConfigJson() reads, changes and writes under the lock, so that callers
//   that change different settings both keep their change, and keys that this version does not
//   know (a newer driver's) survive it; use it for changes.
// - A save or update started from inside an update's change (or any other save or update of a
//   file in the same directory on the same thread) would wait for its own thread or overwrite
//   the outer one: it fails at once with SaveFailure::Reentered and an ERROR line, and writes
//   nothing; the outer update goes on. A load there works, and may move a corrupt file aside.
// - What is not covered: file systems whose locks are not shared between machines (a network
//   share used from two machines at once); processes of another logon session on Windows (a
//   service, another user), which do not share the mutex; and programs that do not use this
//   library and hold the file without sharing for longer than the retries (a load then reports
//   Locked, an update and a save fail).
// - `path` must name a directory as well as a file: missing directories are created, but a
//   bare file name such as "config.json" is refused by the save and the update (false), not
//   taken as relative to the working directory; so is a path that names no file ("dir/",
//   "dir/.", "dir/.."). The load does read a bare name from the working directory, and moves
//   a corrupt one aside there.
// - A load keeps going whatever the file holds: a missing or unreadable file leaves the record
//   alone; a file held open by another process without sharing (Windows) is tried three
//   times, 50 ms apart; a document that is not a JSON object (an empty file, say) is moved
//   aside as "<file name>.corrupted.<local time>" ("config.json.corrupted.<local time>"; five
//   backups of each file are kept) and the record keeps the caller's values. loadConfigJson()
//   returns true on every path but an empty path name; loadConfigJsonOutcome() tells which case
//   happened. A caller that saves its record later must not do so after Locked, Unreadable or
//   CorruptLeftInPlace: it would put its defaults over settings it could not read
//   (updateConfigJson() refuses to). Within an object, values of the wrong type or out of range
//   are skipped one by one (see config/Config.h); the file is kept.
// - The load overlays the file onto the record it is given and never resets it: pass a record
//   holding your defaults, not one left over from an earlier load.
// - All of them block on file I/O (a save waits for the disk and for another save; a load may
//   wait 150 ms for a locked file): call them from a start-up or settings thread, not from an
//   audio callback.
// - Outcomes are logged through tarvik::common::logMessage (which drops them while no logger
//   is installed; nothing depends on a logger): INFO for a loaded or missing file, WARN for a
//   locked or corrupt one, for the backup made of it and for a swap that is tried again,
//   ERROR for a failed save, a refused update and a corrupt file that could not be moved
//   aside. A successful save logs nothing, and neither does a failed write, flush or close of
//   the temporary file (a full disk, say): the *Outcome forms return every failure with the
//   OS's error. Paths appear in their narrow form.
// - Exceptions that escape: std::bad_alloc; from a save or an update,
//   nlohmann::json::type_error 316 when a narrow string field holds invalid UTF-8 (raised
//   before anything touches the disk); from an update, whatever `change` or `accept` throws
//   (nothing is written and the lock is released). No file-system trouble is reported by
//   exception. A path that has no narrow form appears in messages as UTF-8; it never makes a
//   call fail.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "Config.h"

namespace tarvik::driver {

// What a load found at `path`. Only Read and Missing mean the record holds what the file
// says (or the caller's values where there is no file); a caller that saves afterwards must
// not save its defaults over a file that was Locked, Unreadable or CorruptLeftInPlace.
enum class LoadOutcome {
    Read,        // the document was read and overlaid onto the record
    Missing,     // no file at `path`: the record is as the caller left it
    Locked,      // held open without sharing by another process through every retry
    Unreadable,  // could not be read for another reason (access, I/O, not a file, empty path)
    CorruptMovedAside,   // not a usable document: moved aside, the record is unchanged
    CorruptLeftInPlace,  // not a usable document, and it could not be moved aside
};

// A short English name of the outcome ("read", "missing", "locked", ...), for messages.
const char* describe(LoadOutcome outcome);

// Which step of a save (or update) failed.
enum class SaveFailure {
    None,             // the save succeeded
    InvalidPath,      // the path names no directory, or no file name
    Busy,             // another save of the same target held it for longer than kSaveLockWait
    CreateDirectory,  // the directory could not be created (or made durable)
    OpenTemp,         // the temporary file could not be created
    WriteTemp,        // writing, flushing or closing the temporary file failed
    Swap,             // the temporary file could not be swapped over the target
    SyncDirectory,    // the new document is in place but its directory entry is not durable
    ReadExisting,     // an update could not read the file it was to change (locked or
                      // unreadable): nothing was written
    Reentered,        // started on a thread that is saving or updating in the same directory
                      // already (from inside an update's change): nothing was written
    Refused,          // the update's `accept` refused the document it read: nothing was
                      // written or moved
    Unusable,         // an update found a document that does not parse or is not an object
                      // (a person's edit with a mistake) and that did not become usable
                      // within 300 ms: nothing was written or moved; `problem` says why
    Lock,             // the saves' lock could not be taken, though no other save holds it
                      // (POSIX: a directory this user may write but not read): nothing was
                      // written
};

// The result of a save or an update: success, or the step that failed and the OS's error.
struct SaveOutcome {
    SaveFailure failure = SaveFailure::None;
    std::error_code error;                 // the OS's error number, where the step had one
    LoadOutcome load = LoadOutcome::Read;  // for ReadExisting: what the update's load found
    std::string problem;  // for Unusable: the first mistake in the document, with its place

    bool ok() const { return failure == SaveFailure::None; }
    explicit operator bool() const { return ok(); }
    // What went wrong in the user's terms, with the OS's text where there is one, e.g.
    // "could not write the temporary file /cfg/config.json.tmp: No space left on device"
    // or "another save holds /cfg/config.json"; empty on success.
    std::string message(const std::filesystem::path& path) const;
};

// How long a save or an update waits for another save of the same target before it gives up:
// far longer than a save takes (milliseconds, even with a slow disk's flush), short enough
// that a settings thread blocked by a hung holder reports it promptly.
inline constexpr std::chrono::milliseconds kSaveLockWait{2000};

// Replaces `path` with `text` so that readers see either the old or the new document, never a
// mix. Creates missing directories. On failure returns false and logs at ERROR (except for a
// failed write of the temporary file); the target is as it was and the temporary file is
// removed, with two exceptions: when a Windows replace fails after it has removed the target
// and the following move fails too, the ".tmp" file is kept as the only copy of the new text;
// and when only the final sync of the directory fails, the new document is already in place
// but not known to survive a power cut.
[[nodiscard]] bool writeFileAtomic(const std::filesystem::path& path, const std::string& text);

// Serialises `config` (four-space indentation, keys in order, UTF-8, no final newline) and
// writes it with writeFileAtomic(). The record alone is written: whatever the file held
// besides (keys of a newer version, say) is gone; updateConfigJson() keeps it.
[[nodiscard]] bool saveConfigJson(const std::filesystem::path& path, const Config& config);

// Overlays the document at `path` onto `config`, which the caller has filled with defaults.
// Returns false only for an empty path; see above for everything else. Not [[nodiscard]]: a
// caller with a non-empty path has nothing to decide from the result (loadConfigJsonOutcome()
// tells what the load found).
bool loadConfigJson(const std::filesystem::path& path, Config& config);

// As writeFileAtomic(), saveConfigJson() and loadConfigJson(), with the step that failed or
// what the load found. They log exactly what the bool forms log.
[[nodiscard]] SaveOutcome writeFileAtomicOutcome(const std::filesystem::path& path,
                                                 const std::string& text);
[[nodiscard]] SaveOutcome saveConfigJsonOutcome(const std::filesystem::path& path,
                                                const Config& config);
[[nodiscard]] LoadOutcome loadConfigJsonOutcome(const std::filesystem::path& path, Config& config);

// Read-modify-write in one step, excluded from every other save and update of `path`. It reads
// the file as loadConfigJson() does (logging as it does), calls `change` on the record, and
// writes the result atomically as a save does. What the change starts from:
// - a usable document: the file is the truth. Its values are read onto a default-constructed
//   Config (onto `defaults` in that form), not onto `config`, so that a value another process
//   changed or cleared (null) is not undone by a stale value of the caller's; keys the file
//   lacks or whose values the load skips hold the defaults. What is written is that document with
//   the record's keys written into it: every member the record has no field for (a newer version's
//   key, a misspelt section) is kept, at the top level and inside the sections, as the JSON library
//   writes it (the file's white space and number forms are not kept byte for byte); a key the
//   record has gets the record's value, also where the document held a value of another type
//   or a section that is not an object. A member nested more than 512 levels deep is dropped
//   (with a WARN): writing it could exhaust the stack.
// - no file: `config` itself, so that a first save keeps the caller's own defaults; the record
//   alone is written, as saveConfigJson() writes.
// - a document that does not parse or is not an object: an update never moves a file aside
//   and never writes over a document it could not use (a person's edit with a typo keeps
//   every key they typed). While its bytes keep changing (a program writing it in place) it is
//   read again every 20 ms; once they have stood for 100 ms, or 300 ms after the first read,
//   the update fails with SaveFailure::Unusable: an ERROR line names the first mistake and its
//   place, nothing is written or moved, `change` is not called. Keep the change and make it
//   again when the watcher next reports a usable file (ConfigWatcher.h). Only the load at
//   start-up moves a corrupt file aside.
// true when the changed record is durably in place; `config` then holds the record that was
// written. On failure `config` is left as it was. Never writes over a file it could not read:
// when the read finds it Locked or Unreadable it logs an ERROR and writes nothing
// (ReadExisting). An exception from `change` propagates; nothing is written and `config` is
// left as it was.
[[nodiscard]] bool updateConfigJson(const std::filesystem::path& path, Config& config,
                                    const std::function<void(Config&)>& change);
[[nodiscard]] SaveOutcome updateConfigJsonOutcome(const std::filesystem::path& path, Config& config,
                                                  const std::function<void(Config&)>& change);

// As above, with the caller's own defaults: a usable document is read onto `defaults` instead
// of a default-constructed Config, so that a key the file lacks (or holds as null where null
// clears) gives the caller's default and is written so. Give the watcher the same defaults.
[[nodiscard]] bool updateConfigJson(const std::filesystem::path& path, Config& config,
                                    const Config& defaults,
                                    const std::function<void(Config&)>& change);
[[nodiscard]] SaveOutcome updateConfigJsonOutcome(const std::filesystem::path& path, Config& config,
                                                  const Config& defaults,
                                                  const std::function<void(Config&)>& change);

// As updateConfigJsonOutcome(), with a judge of the file: `accept` (when not empty) is called
// under the lock with the bytes the update read (not when the file is missing), before they
// are parsed or written. When it returns false the update stops: nothing is
// written or moved, `change` is not called, nothing more is logged (the read's own lines
// remain), and the outcome is SaveFailure::Refused. A file that changes under the read (it
// is read again) is judged again.
[[nodiscard]] SaveOutcome updateConfigJsonOutcome(
    const std::filesystem::path& path, Config& config,
    const std::function<bool(std::string_view documentText)>& accept,
    const std::function<void(Config&)>& change);

// Moves an unusable configuration file aside in its own directory, as its file name followed by
// ".corrupted." and the local time ("%Y%m%d-%H%M%S"): "config.json.corrupted.20250101-120000"
// for config.json. A backup never replaces another, so a name already taken within that second
// gets "-001", "-002", ... appended. Keeps at most five backups of that file (names that begin
// with its own prefix; another file's backups are never touched): the one just made, whatever
// its name, and the four greatest other names. Reports only through the log. The caller must
// have closed the file.
void backupCorruptConfig(const std::filesystem::path& path);

}  // namespace tarvik::driver
