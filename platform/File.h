// What the persistence code needs from the operating system, and nothing more.
//
// One implementation per OS (FilePosix.cpp, FileWin32.cpp); CMake compiles exactly one. No
// other file of the project includes <windows.h> or POSIX headers.
//
// Every call reports an ErrorCode: 0 for success, otherwise the OS's own number (GetLastError()
// on Windows, errno on POSIX), read immediately after the failing call.
#pragma once

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

// Moves `from` to the absent `target` on a first save (MoveFileExW with write-through /
// rename). An object that appeared at `target` meanwhile is replaced.
ErrorCode moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& target);

// Makes the directory entries of `directory` durable after a rename (fsync of the directory on
// POSIX; nothing to do on Windows, whose swap calls are journalled).
ErrorCode syncDirectory(const std::filesystem::path& directory);

// Moves a file aside within its volume, replacing an existing file of the same name
// (MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED / rename).
ErrorCode moveAside(const std::filesystem::path& from, const std::filesystem::path& to);

enum class ReadStatus { Ok, SharingViolation, Failed };

struct ReadResult {
    ReadStatus status = ReadStatus::Ok;
    ErrorCode error = 0;  // set when status is not Ok
};

// Reads the whole regular file at `path` into `contents` and closes it before returning, also
// when it fails or throws. Reads until end of file, however few bytes each call returns.
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
