// Live reload: tells a running driver about each new state of its settings file, whether the
// tray application saved it or a person edited it, without a restart.
//
//   #include <tarvik/config/ConfigFile.h>
//   #include <tarvik/config/ConfigWatcher.h>
//   namespace tvd = tarvik::driver;
//
//   tvd::Config defaults;                               // the driver's own defaults, once
//   defaults.audio.bufferSizeMs = 20;
//   tvd::Config config = defaults;                      // at start-up, as before
//   tvd::loadConfigJsonOutcome(path, config);
//   std::optional<tvd::ConfigWatcher> watcher;
//   watcher.emplace(path, config, defaults);            // starts the watcher's one thread
//
//   void RunFrame() {                                   // every frame, on the driver's thread
//       if (!watcher->hasNews()) {                      // one atomic load: no system call, no lock
//           return;
//       }
//       const tvd::ConfigNews news = *watcher->takeNews();
//       if (news.outcome == tvd::WatchOutcome::Read || news.outcome == tvd::WatchOutcome::Missing)
//       {
//           config = news.config;                       // never older than the driver's own saves
//           if (news.changed("audio")) { /* restart audio capture */ }
//           /* a change an update refused (SaveFailure::Unusable): make it again now */
//       }                                               // Unusable, Unreadable: keep `config`
//   }
//
//   void Cleanup() { watcher.reset(); }                 // the driver's own clean-up, not DllMain
//
// What a caller may rely on:
// - Threads. Each watcher runs one thread of its own, started by the constructor and stopped and
//   joined by stop() and the destructor: no thread outlives the watcher. No code of the caller
//   ever runs on it (there are no callbacks); it logs nothing, and it never writes, creates or
//   moves a file. hasNews(), takeNews() and waitForNews() may be called from any thread; each
//   news is taken once.
// - Asking is cheap. hasNews() is one atomic load (acquire): it makes no system call and takes
//   no lock, so it can be asked every frame. takeNews() takes a lock only when there is news.
// - The first news is the state of the file as the watch began, with the watch already in
//   place: every change made after it arrives is reported. Its changedKeys compare with the
//   record the caller passed as `inUse` (the defaults if none), so a driver that loaded the
//   file just before sees an empty list unless the file changed in between.
// - Every change made by another process or a person arrives as news exactly once; the
//   process's own saves and updates (saveConfigJson, updateConfigJson, writeFileAtomic, from any
//   thread, also one that began before the watcher) never do. Own saves are recognised by their
//   content, every one the watcher has not yet accounted for, not by a time window, so another
//   program's change that comes right after one is still reported. An update that took another
//   program's change in (the tray saved, and the driver's update read that file before the
//   watcher did) reports that change: the news then shows the update's record, with only the
//   keys the other program changed. A rewrite or a touch that leaves the bytes as they were is
//   never reported, and neither is a change of the bytes that leaves the record as it was
//   (white space, an unknown key, a value the driver skips) unless the outcome changes too.
// - What a taken news holds. changedKeys are the keys whose values differ from what the caller
//   holds: the record of the news it took last, with what its own saves wrote since; a merged
//   news lists only the keys that really moved, and never a key that only this process changed.
//   A news never carries a state older than an own save that finished before it was taken: news
//   read before the driver's update and taken after it carries the update's record (so
//   `config = news.config` never puts an old value back). The driver is assumed to hold the
//   record it last saved or updated (updateConfigJson leaves it in `config`).
// - The record is read as the load reads it, onto the defaults given to the constructor (a
//   default Config if none): the file is the truth, so a key removed from the file, or set to
//   null where null clears it, goes back to the caller's default. Give the update the same
//   defaults (updateConfigJson's `defaults` form).
//   A file held open without sharing by another program (Windows) is tried three times, 50 ms
//   apart, as the load does. Like the load, each read holds the file open for a moment with
//   read, write and delete sharing: a save with ReplaceFileW (this library's) is never refused,
//   but a program that moves another file over it with MoveFileExW may be, for that moment.
// - Outcomes. Read: `config` is the file's record. Missing: the file has been absent for a
//   second (an editor that renames the old file away and writes a new one is not reported as
//   missing); `config` holds the caller's defaults, what a driver started now would use. Unusable:
//   the document does not parse or is not an object (a person still typing, a half-written file
//   that stayed so for 100 ms); `problem` is the first finding of checkConfigText(), `config`
//   is the last record reported as Read or Missing, still in force, and nothing is moved
//   aside. Unreadable: the file exists but cannot be read (access denied, still locked after
//   the retries); `problem` says why, `config` is as for Unusable, and the file is looked at
//   every second until it can be read (a lock's release is not notified). Unusable, Unreadable
//   and Missing are reported once per spell (Unusable again when its first problem changes,
//   once the new text has lasted 100 ms); the next usable state is reported when it comes,
//   and one bad state never stops later reloads.
// - Timing. A save that is complete when it is notified is read at once: a file renamed onto
//   the name (rename, MoveFileExW, ReplaceFileW: every atomic save, the library's too) and, on
//   Linux, a file written in place once its last writer closes it (as far as the notifications
//   tell: while another program still has it open, the last close counts). A driver that asks
//   every frame follows a slider dragged in the tray application save by save, a millisecond
//   or two behind the file. Any other change (a write still going on, in place on Windows) is
//   read once the file has been quiet for 20 ms, and at the latest 200 ms after the first
//   change of a burst, so that a half-written file is never reported: a burst of such writes
//   gives a few news, the last of them the final content; a save 50 ms after another is
//   reported too. News that the caller has not taken yet is merged with the next: the newest
//   state, its changed keys compared as above; news the caller takes is never held back.
// - No notifications. Where the OS gives no change notifications (Linux: inotify's instance or
//   watch limit reached; Windows: a file system or network redirector that refuses
//   ReadDirectoryChangesW) the watcher looks at the file every second and says so (`polling`).
//   On a network share or FUSE file system, notifications cover only the changes made through
//   this machine; the watcher also looks every second there (`polling` is true), so a change
//   made on another machine arrives within about a second plus whatever the server or the
//   redirector caches.
// - The directory is watched, not the file, so atomic saves (rename, ReplaceFileW), in-place
//   writes, and the file deleted and created again are all seen. When the directory itself is
//   deleted the file is reported missing, and the watch is set up again once the directory
//   exists again (tried after 0.1 s, then less and less often, down to once a second). On
//   Windows the directory is opened with full sharing: the watch never blocks a save, a rename
//   or a delete, of the file or of the directory.
// - Own saves are matched by the absolute, normalised path: a save through another spelling of
//   the same file (another case on Windows, a symbolic link) is reported like another
//   program's. The record of own saves lives as long as the process: a watcher held by a
//   static object and never stopped ends with the other static objects, in any order, without
//   harm (but see stop() for DLLs).
// - stop() wakes the thread, which ends its wait at once (also a pause between the retries of a
//   locked file); a read in progress is finished first. Then it joins the thread. Call it (or
//   destroy the watcher) in the driver's own clean-up, before the module can be unloaded, never
//   from DllMain or from the destructor of a static object in a DLL: those run under the
//   loader lock, which the ending thread needs, and would deadlock.
// - Exceptions: the constructor throws std::system_error when no thread can be started, and
//   std::bad_alloc. Should memory run out on the watcher's thread, it ends quietly and no more
//   news comes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Config.h"

namespace tarvik::driver {

// What the watcher found at the path.
enum class WatchOutcome : unsigned char {
    Read,        // the document was read: `config` is the file over the defaults
    Missing,     // no file for about a second: `config` is the defaults
    Unusable,    // not a usable document: `config` is the last record in force
    Unreadable,  // the file cannot be read: `config` is the last record in force
};

// A short English name of the outcome: "read", "missing", "unusable", "unreadable".
const char* describe(WatchOutcome outcome);

// One new state of the settings file.
struct ConfigNews {
    WatchOutcome outcome = WatchOutcome::Read;
    Config config;
    // The dotted keys ("audio.deviceId", "version") whose values differ from the record of the
    // news taken before (for the first news: from `inUse`), in the order of kConfigKeys.
    std::vector<std::string> changedKeys;
    std::string problem;         // Unusable: the first finding of the checker; Unreadable: why
    std::string text;            // Read, Unusable: the bytes that were read
    bool polling = false;        // the watcher looks at the file every second (see above)
    bool initial = false;        // the state as the watch began
    std::uint64_t sequence = 0;  // counts the states reported, from 1

    // Whether `keyOrSection` ("audio.deviceId", or "audio" for any of its keys) changed.
    bool changed(std::string_view keyOrSection) const;
};

class ConfigWatcher {
public:
    // Starts watching `path` (give it absolute, as to the save). `inUse` is the record the
    // caller uses now: the first news's changedKeys compare with it. `defaults` is what a key
    // missing from the file gives (or null where null clears, and every key while the file is
    // missing): give the record your load started from, the same one you give the update.
    ConfigWatcher(std::filesystem::path path, const Config& inUse, const Config& defaults);
    // As above, with the library's defaults (a default-constructed Config).
    explicit ConfigWatcher(std::filesystem::path path, const Config& inUse = Config{});
    // Stops and joins the thread (see stop()).
    ~ConfigWatcher();
    ConfigWatcher(const ConfigWatcher&) = delete;
    ConfigWatcher& operator=(const ConfigWatcher&) = delete;

    // Whether news is waiting. One atomic load; no system call, no lock.
    bool hasNews() const noexcept;
    // The news waiting, if any; it is then no longer waiting.
    std::optional<ConfigNews> takeNews();
    // Blocks until news is waiting, the watcher is stopped, or `timeout` has passed; returns
    // hasNews(). For programs without a frame loop (tools, tests).
    bool waitForNews(std::chrono::milliseconds timeout);
    // Stops the watcher and joins its thread; news already waiting can still be taken. Does
    // nothing the second time. Never from DllMain or a static destructor of a DLL (see above).
    void stop();

    const std::filesystem::path& path() const noexcept;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvik::driver
