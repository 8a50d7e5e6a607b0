// Test seam of the platform layer: makes chosen OS calls fail with a chosen error number,
// without touching the file system. Production code never arms it; while nothing is armed each
// platform call pays one relaxed atomic load.
//
//   using namespace tarvik::platform::testing;
//   ScopedFault fault(Operation::SyncTemp, EIO);       // the next fsync of a temp file fails
//   EXPECT_FALSE(saveConfigJson(path, config));
#pragma once

#include <functional>
#include <optional>

#include "platform/File.h"

namespace tarvik::platform::testing {

enum class Operation {
    OpenTemp,       // WritableFile::open
    WriteTemp,      // WritableFile::write
    SyncTemp,       // WritableFile::sync
    CloseTemp,      // WritableFile::close
    Replace,        // replaceFile
    MoveIntoPlace,  // moveIntoPlace
    SyncDirectory,  // syncDirectory
    ReadFile,       // readWholeFile
    MoveAside,      // moveAside
    AcquireLock,    // SaveLock::acquire (before it waits)
    Watch,          // DirectoryWatch::arm: no change notifications (the watcher polls)
    LockCall,       // SaveLock::acquire's first, non-blocking flock (POSIX)
    StartLockWait,  // starting the thread that waits for a contended flock (POSIX)
    WatchOpen,      // DirectoryWatch::arm's setting up of the directory's watch
                    // (inotify_add_watch / CreateFileW): the error is taken as the OS's own
    // Not failures but conditions a real file system can produce, for readWholeFile:
    ReadChunk,       // each read call returns at most `code` (>= 1) bytes, fewer than asked
    ReadAllocation,  // sizing the buffer throws std::bad_alloc (`code` is not used)
};

// The next `times` calls of `operation` fail with `code` (times < 0: every call until
// cleared). An injected WritableFile::open or write failure leaves the file system untouched.
void failNext(Operation operation, ErrorCode code, int times = 1);

// The next `times` calls of readWholeFile report a sharing violation, as Windows does while
// another process holds the file open without sharing.
void reportSharingViolation(int times);

// Runs `action` once, on the calling thread, when `operation` is next called, just before the
// call does its work (and before any fault armed for it). Lets a test act at an exact point
// of an operation: replace a file between a load's read and its quarantine, say.
void runBeforeNext(Operation operation, std::function<void()> action);

// Until cleared, every read call of readWholeFile returns at most `bytes` (>= 1) bytes, however
// many it asked for: a short read, as FUSE, network file systems and interrupted reads return,
// and as Linux does above 0x7ffff000 bytes. The read loop still asks for all it wants.
inline void readInChunksOf(ErrorCode bytes) {
    failNext(Operation::ReadChunk, bytes, -1);
}

// Disarms every injected fault and pending action.
void clearFaults();

// How many calls of `operation` consumed an injected fault since the last clearFaults().
int injectedCount(Operation operation);

// Arms a fault for one scope and disarms everything when the scope ends.
class ScopedFault {
public:
    ScopedFault(Operation operation, ErrorCode code, int times = 1) {
        failNext(operation, code, times);
    }
    ~ScopedFault() { clearFaults(); }
    ScopedFault(const ScopedFault&) = delete;
    ScopedFault& operator=(const ScopedFault&) = delete;
};

// Used by the platform implementations: the fault to report for this call of `operation`.
// For ReadFile a sharing violation is reported as the code kSharingViolationMarker; for
// AcquireLock a wait that ran out as kLockTimeoutMarker.
std::optional<ErrorCode> takeFault(Operation operation);
inline constexpr ErrorCode kSharingViolationMarker = 0xFFFF'FFFFu;
inline constexpr ErrorCode kLockTimeoutMarker = 0xFFFF'FFFEu;

}  // namespace tarvik::platform::testing
