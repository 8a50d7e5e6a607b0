// What the persistence code needs from the operating system, and nothing more.
//
// One implementation per OS (FilePosix.cpp, FileWin32.cpp); CMake compiles exactly one. No
// other file of the project includes <windows.h> or POSIX headers.
//
// Every call reports an ErrorCode: 0 for success, otherwise the OS's own number (GetLastError()
// on Windows, errno on POSIX), read immediately after the failing call.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::platform {

using ErrorCode = std::uint32_t;

// The system's text for an error number (std::system_category()).
std::string errorText(ErrorCode code);

// True for the Windows sharing violation (32). No POSIX error means that: a file another
// process holds open is still readable there.
bool isSharingViolation(ErrorCode code);

// True when a failed replaceFile() may already have removed the target, so that the
// replacement file is the only copy of the new content (Windows ERROR_UNABLE_TO_MOVE_REPLACEMENT).
bool replaceMayHaveRemovedTarget(ErrorCode code);

// True for the errors of replaceFile() that another program's short-lived open of the target
// or the replacement causes (an antivirus scanner, an indexer, a backup or sync client): worth
// trying again after a pause. Windows: sharing violation (32), access denied (5) and
// ERROR_UNABLE_TO_REMOVE_REPLACED (1175), after which both files keep their names. Never on
// POSIX, whose rename() is not blocked by open files.
bool isTransientSwapError(ErrorCode code);

// True for the error of a file that does not exist (ENOENT / ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND).
bool isNotFound(ErrorCode code);

// True where a swap in progress can make the target's name vanish for a moment, so that a
// reader which finds no file may have met a save rather than a missing file. Windows:
// ReplaceFileW renames the original away before it renames the replacement into place. POSIX:
// rename() replaces the name in one step, so never.
bool swapMayHideTarget();

// The exclusion between saves of one target, across the threads and processes of one user
// session: at most one holder at a time, released by release(), the destructor, or the death
// of the holding process (never a stale lock). It locks the target's directory, which a save
// never renames, so a waiting save can never open a file that has meanwhile become the target,
// and every save in one directory shares the one lock. What is locked is the directory itself,
// not the text of the path: every spelling that leads to the directory (relative or absolute,
// ".." and symbolic links; on Windows also other letter case, "\\?\" names, 8.3 short names,
// trailing dots, junctions and subst drives) gets the same lock. The directory must exist:
// acquire() reports isNotFound() when it does not.
// - POSIX: flock(LOCK_EX) on a descriptor of the directory, which the save then also uses to
//   sync the directory (so the lock costs one system call). flock belongs to the open
//   descriptor, not to the process: two threads of one process exclude each other, and closing
//   another descriptor of the directory drops nothing. Locks on network file systems may not be
//   seen by other machines. A file system that refuses flock (ENOLCK, EOPNOTSUPP, ENOSYS) gives
//   a lock that is held without excluding anyone; unsupported() then tells why. A contended
//   lock is waited for by one thread per directory and process, blocked in flock and shared by
//   every caller that waits for that directory; a caller that gives up leaves nothing behind but
//   that thread and its descriptor, and when the thread gets the lock after every caller gave
//   up it releases it at once. Once such a thread has been started, the module that holds this
//   code is never unloaded (a later dlclose() leaves it mapped), so that the thread never runs
//   in unmapped code.
// - Windows: a named mutex, "Local\tarvik-config-save-v2-<volume>-<index>" with the volume
//   serial number (8 lower-case hexadecimal digits) and file index (16) of the target's
//   directory (GetFileInformationByHandle); the "v2" is the version of the name, which changes
//   only with the lock's meaning (0.1's lock was named after the path: 0.1 and 0.2 processes do
//   not exclude each other). Local names are per logon session: processes of another session
//   (a service, another user) do not share it. It is created with a security descriptor that
//   lets any process of the session at low integrity or above wait on and release it, because
//   an object that an elevated process creates with default security cannot be opened by a
//   non-elevated one; it is opened asking only for those rights.
//   A holder that dies leaves it abandoned, which the next waiter receives as acquired.
// - A lock belongs to the thread that acquired it, which must also release it. A thread that
//   asks for a lock it already holds (the same directory, by any spelling) gets an error for
//   which isLockReentered() is true at once, instead of waiting for itself (POSIX) or being
//   let in a second time (Windows, where the mutex is recursive).
class SaveLock {
public:
    SaveLock() = default;
    ~SaveLock();
    SaveLock(const SaveLock&) = delete;
    SaveLock& operator=(const SaveLock&) = delete;

    // Waits up to `wait` for the lock of saves of `target`. 0 when held; otherwise an error for
    // which isLockTimeout() is true when another holder kept it all that time, isLockBusy() when
    // another holder has it and it could not be waited for, isLockReentered() when this thread
    // holds it already, or the OS's error (isNotFound() when the directory does not exist).
    ErrorCode acquire(const std::filesystem::path& target, std::chrono::milliseconds wait);
    // Makes the directory entries of the target's directory durable (POSIX: fsync of the
    // locked directory descriptor; Windows: nothing to do). Only while held.
    ErrorCode syncDirectory();
    // Lets the next waiter go; does nothing when not held. On the acquiring thread only.
    void release();
    bool held() const { return handle_ != -1; }
    // While held: 0 when the lock excludes other holders, else the error with which the file
    // system refused to lock (POSIX: ENOLCK, EOPNOTSUPP, ENOSYS), the lock being held without
    // excluding anyone.
    ErrorCode unsupported() const { return unsupported_; }

private:
    using DirectoryId = std::array<std::uint64_t, 2>;
    static bool heldByThisThread(const DirectoryId& directory);
    // The locks this thread holds, newest first, linked through nextHeld_ (SaveLockThreads.cpp).
    static SaveLock*& heldLocksOfThisThread();
    void rememberHeld();
    void forgetHeld();

    std::intptr_t handle_ = -1;
    ErrorCode unsupported_ = 0;
    SaveLock* nextHeld_ = nullptr;                   // this thread's other held locks
    [[maybe_unused]] DirectoryId directoryId_ = {};  // Windows: volume serial number, file index
};

// True for the error that SaveLock::acquire() reports when its wait ran out.
bool isLockTimeout(ErrorCode code);

// True when SaveLock::acquire() failed because another holder has the lock: its wait ran out,
// or (POSIX) the wait could not be made (no thread could be started for it).
bool isLockBusy(ErrorCode code);

// True for the error that SaveLock::acquire() reports when the calling thread holds the lock
// of the same directory already (EDEADLK / ERROR_POSSIBLE_DEADLOCK).
bool isLockReentered(ErrorCode code);

// A file being written: the temporary file of an atomic save. Closed by the destructor if the
// caller did not close it.
class WritableFile {
public:
    WritableFile() = default;
    ~WritableFile();
    WritableFile(const WritableFile&) = delete;
    WritableFile& operator=(const WritableFile&) = delete;

    // Creates `path` as a new file, for writing in binary. A regular file already there (left
    // by an interrupted save) is removed first, whatever its links, owner, mode or attributes,
    // so that nothing else can be written through it; anything else there (a symbolic link, a
    // FIFO, a device, a directory) is refused and left in place. The handle is not inherited.
    // When `permissionsFrom` names an existing file, the new file gets its permission bits
    // (POSIX).
    ErrorCode open(const std::filesystem::path& path, const std::filesystem::path& permissionsFrom);
    // Writes all of `bytes` (as few system calls as the OS allows; normally one).
    ErrorCode write(std::string_view bytes);
    // Pushes the written data to stable storage (fdatasync / FlushFileBuffers).
    ErrorCode sync();
    // Closes the file; a second call does nothing and returns 0.
    ErrorCode close();
    // Whether the last open() found an object of any kind at `permissionsFrom` (following
    // symbolic links), where open() looks there (POSIX); empty where it does not (Windows) or
    // when open() failed before looking. The save takes its target's existence from this
    // instead of asking the file system a second time.
    std::optional<bool> permissionsSourceExists() const { return permissionsSourceExists_; }

private:
    std::intptr_t handle_ = -1;
    std::optional<bool> permissionsSourceExists_;
};

// Swaps `replacement` over the existing `target` (ReplaceFileW / rename). On success the
// target holds the replacement's content and the replacement's name is gone.
ErrorCode replaceFile(const std::filesystem::path& target,
                      const std::filesystem::path& replacement);

// How log lines name the system calls of a save's swap and the number they fail with: Windows
// "ReplaceFileW" (replaceFile), "MoveFileExW" (moveIntoPlace) and "GetLastError"; POSIX "rename"
// for both and "errno". A failed swap is logged as "<call> failed (<number's name>=<number>)".
struct SwapCallNames {
    const char* replace;
    const char* moveIntoPlace;
    const char* error;
};
SwapCallNames swapCallNames();

// Moves `from` to the absent `target` on a first save (MoveFileExW with write-through /
// rename). An object that appeared at `target` meanwhile is replaced.
ErrorCode moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& target);

// Makes the directory entries of `directory` durable after a rename (fsync of the directory on
// POSIX; nothing to do on Windows, whose swap calls are journalled).
ErrorCode syncDirectory(const std::filesystem::path& directory);

// Moves a file aside within its volume, replacing an existing file of the same name
// (MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED / rename).
ErrorCode moveAside(const std::filesystem::path& from, const std::filesystem::path& to);

// Whether the file at `path` carries the mark by which people protect a file from changes:
// Windows: FILE_ATTRIBUTE_READONLY; POSIX: no write permission for its owner, or none for this
// process (access(2) with the effective ids; it grants root every file, so for root only the
// owner's bit counts). False for a directory, when there is no file, or when it cannot be asked.
// A save does not look at the mark: on POSIX rename() replaces a read-only file in a writable
// directory, and on Windows ReplaceFileW refuses it (access denied).
bool isMarkedReadOnly(const std::filesystem::path& path);

// Sets (`readOnly`) or clears that mark on the file at `path`; 0 when the file already was so.
// Windows: FILE_ATTRIBUTE_READONLY, other attributes kept. POSIX: clearing gives the owner
// write permission; setting takes every write permission away.
ErrorCode setReadOnlyMark(const std::filesystem::path& path, bool readOnly);

enum class ReadStatus { Ok, SharingViolation, Failed };

struct ReadResult {
    ReadStatus status = ReadStatus::Ok;
    ErrorCode error = 0;  // set when status is not Ok
};

// Reads the whole regular file at `path` into `contents` and closes it before returning, also
// when it fails or throws. Reads the size that the file had when it was opened (fstat /
// GetFileSizeEx), however few bytes each call returns: until that many bytes have arrived, or
// fewer when a read returns none (the file shrank). A file that grows meanwhile is read up to
// that size: it is being written in place and could not be read consistently anyway.
// Other processes may read and write the file meanwhile. Never blocks on a FIFO and never
// reads anything but a regular file: a directory fails with EISDIR, any other kind of file
// with EINVAL (POSIX; on Windows CreateFileW refuses them itself). A file too large for the
// process to hold fails (EFBIG / ERROR_FILE_TOO_LARGE beyond what a string can hold, else
// ENOMEM / ERROR_NOT_ENOUGH_MEMORY) instead of throwing.
ReadResult readWholeFile(const std::filesystem::path& path, std::string& contents);

// Creates `directory` if it is missing (its parent must exist; on POSIX with mode 0700), then
// makes sure it is a real directory (not a symbolic link) owned by the running user, and
// restricts it to its owner. Returns an empty string on success, else what is wrong. Used for
// scratch directories under a shared temporary directory; on Windows only the creation is
// needed, as the per-user temporary directory is private already.
std::string claimPrivateDirectory(const std::filesystem::path& directory);

}  // namespace tarvik::platform
