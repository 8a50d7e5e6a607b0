// Change notifications for the directory of one file: what a settings watcher needs from the OS
// to learn that its file may have changed, and nothing more.
//
//   platform::DirectoryWatch watch;                     // on the owner's thread
//   if (watch.arm(path).state == platform::WatchState::Watching) { ... }
//   switch (watch.wait(std::chrono::milliseconds(500))) { ... }   // on the watching thread
//   watch.wake();                                       // from any thread: ends every wait
//
// One implementation per OS (DirectoryWatchPosix.cpp: inotify on Linux; DirectoryWatchWin32.cpp:
// overlapped ReadDirectoryChangesW); CMake compiles exactly one.
//
// What a caller may rely on:
// - The directory is watched, never the file: a watch on the file would be lost at the first
//   atomic save, which puts a new file (a new inode) under the name.
// - A notification only says "look at the file": the caller reads the file and compares. Events
//   are not counted, ordered or attributed to a process. Linux passes on only events that
//   name the file (or the directory itself); Windows also passes on names that may be the
//   file's 8.3 short name (any name with a "~"), since a notification may carry either name,
//   and matches the long form of a file name given in 8.3 form (a name with a "~" whose long
//   form cannot be found, because the file does not exist yet, lets every notification pass).
// - The watch follows what the directory's path leads to, not the directory it was set up on.
//   A directory can be replaced without any notification on it: its parent renamed away and the
//   tree made again, a symbolic link to it pointed elsewhere (backup restores, dotfile
//   managers), or (Windows) the watched directory renamed, which its handle follows. So the
//   directory's identity (device and inode; volume serial number and file index) is checked
//   again whenever a notification arrives and at least once per identity period while a wait
//   lasts; when the path no longer leads to the watched directory, wait() reports
//   DirectoryGone and the caller arms again.
// - Descriptors and handles are not inherited by child processes (CLOEXEC; handles created
//   without inheritance). On Windows the directory is opened with read, write and delete
//   sharing, so the watch never blocks a save, a rename or a delete in it; a deleted directory
//   is let go at once (it cannot be created again while a handle keeps it pending deletion).
// - arm() and wait() belong to one thread (the watching thread); wake() may be called from any
//   thread at any time and makes the current wait() and every later one return Woken at once.
// - The destructor cancels an outstanding read (Windows: CancelIoEx, then waits for the
//   cancellation before the buffer is freed) and closes everything.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>

#include "platform/File.h"

namespace tarvik::platform {

// What arm() achieved.
enum class WatchState : unsigned char {
    Watching,          // notifications come for every change made on this machine
    WatchingRemote,    // notifications come, but the directory is on a network or FUSE file
                       // system, where changes made elsewhere are not notified: also look
                       // at the file now and then
    DirectoryMissing,  // the directory does not exist (yet): arm again later
    Unsupported,       // no notifications here (Linux: inotify instance or watch limit
                       // reached, no inotify, a directory that may not be read; Windows: a
                       // file system or redirector that refuses ReadDirectoryChangesW, a
                       // directory that may not be listed): look at the file now and then
};

struct WatchArm {
    WatchState state = WatchState::Unsupported;
    ErrorCode error = 0;  // the OS's error, for DirectoryMissing and Unsupported
};

// What ended a wait(), from the weakest to the strongest (Woken aside).
enum class WatchSignal : unsigned char {
    Timeout,        // the time ran out
    Changed,        // something happened to the file's name in the directory: perhaps a write
                    // still going on
    CompleteSave,   // the last thing that happened to the name completes a save: a file renamed
                    // onto it (a rename, MoveFileExW, ReplaceFileW) or (Linux) the close of a
                    // file written in place that nobody has open any more as far as the
                    // notifications tell. What the name holds now can be read at once.
    Overflow,       // notifications were lost (queue overflow): anything may have changed
    DirectoryGone,  // the directory was deleted, moved, replaced or unmounted: the watch is
                    // gone; arm again
    Woken,          // wake() was called
};

// How often a wait looks whether the path still leads to the watched directory: as often as a
// watcher without notifications looks at its file.
inline constexpr std::chrono::milliseconds kIdentityCheckPeriod{1000};

class DirectoryWatch {
public:
    // Prepares the wake-up (an eventfd, or an event on Windows). Should that fail (the process
    // is out of descriptors), waits are cut into slices of at most 50 ms, each of which checks
    // for a wake(): stopping is then slower, never lost. `identityCheck` is the identity period
    // (see above); a caller may make it longer, never turn it off.
    explicit DirectoryWatch(std::chrono::milliseconds identityCheck = kIdentityCheckPeriod);
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    // Watches the directory of `file` (the working directory for a bare name), replacing any
    // earlier watch. A directory that is there but refuses the watch (no permission to read or
    // list it) is Unsupported: its file may well be readable, so the caller looks at it now and
    // then. The test seam's Operation::Watch makes it report Unsupported with the injected
    // error; Operation::WatchOpen makes the OS's call that sets up the watch fail with it.
    WatchArm arm(const std::filesystem::path& file);

    // Waits up to `timeout` (negative: without a limit) for a change that concerns the file.
    // Several pending notifications are taken together and reported as the strongest of them
    // (DirectoryGone, then Overflow, then CompleteSave or Changed, as the last change of the
    // name says); a replaced directory is DirectoryGone.
    // Without an armed watch it only waits for the time or a wake().
    WatchSignal wait(std::chrono::milliseconds timeout);

    // Ends the current and every later wait() with Woken. Thread-safe, never blocks.
    void wake();

    struct Handles;  // the OS's descriptors and buffers

private:
    std::unique_ptr<Handles> handles_;
    std::chrono::milliseconds identityCheck_;
    std::atomic<bool> woken_{false};
};

}  // namespace tarvik::platform
