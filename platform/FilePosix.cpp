// File operations for POSIX systems: open/write/fdatasync/rename, and fsync of the directory
// so that a renamed file survives a power cut.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/File.h"
#include "platform/ReadBuffer.h"
#include "platform/testing/FaultInjection.h"

namespace tarvik::platform {
namespace {

using testing::Operation;
using testing::takeFault;

ErrorCode lastError() {
    return static_cast<ErrorCode>(errno);
}

int descriptor(std::intptr_t handle) {
    return static_cast<int>(handle);
}

ErrorCode renamePath(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return lastError();
    }
    return 0;
}

}  // namespace

std::string errorText(ErrorCode code) {
    return std::system_category().message(static_cast<int>(code));
}

bool isSharingViolation(ErrorCode /*code*/) {
    return false;
}

bool replaceMayHaveRemovedTarget(ErrorCode /*code*/) {
    return false;
}

bool isTransientSwapError(ErrorCode /*code*/) {
    return false;
}

bool isNotFound(ErrorCode code) {
    return code == ENOENT;
}

bool swapMayHideTarget() {
    return false;
}

bool isLockTimeout(ErrorCode code) {
    return code == ETIMEDOUT;
}

SaveLock::~SaveLock() {
    release();
}

namespace {

// A wait for a contended flock. flock has no timed form, and polling with LOCK_NB starves the
// waiter: a process that saves in a loop frees the lock for only microseconds between two
// saves. So a thread blocks in flock, where the kernel wakes it as soon as the lock is free,
// while the caller waits on it with a deadline. A waiter that gives up leaves the descriptor to
// the thread, which closes it (taking and dropping the lock) whenever flock returns.
struct BlockingWait {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int error = 0;
};

ErrorCode waitForFlock(int fd, std::chrono::milliseconds wait) {
    auto state = std::make_shared<BlockingWait>();
    try {
        std::thread([state, fd] {
            int error = 0;
            while (::flock(fd, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    error = errno;
                    break;
                }
            }
            std::lock_guard<std::mutex> guard(state->mutex);
            if (state->abandoned) {
                ::close(fd);
                return;
            }
            state->finished = true;
            state->error = error;
            state->done.notify_all();
        }).detach();
    } catch (const std::system_error& error) {
        ::close(fd);
        return static_cast<ErrorCode>(error.code().value());  // no thread could be started
    }
    std::unique_lock<std::mutex> guard(state->mutex);
    if (!state->done.wait_for(guard, wait, [&state] { return state->finished; })) {
        state->abandoned = true;
        return ETIMEDOUT;
    }
    if (state->error != 0) {
        ::close(fd);
    }
    return static_cast<ErrorCode>(state->error);
}

}  // namespace

ErrorCode SaveLock::acquire(const std::filesystem::path& target, std::chrono::milliseconds wait) {
    release();
    if (auto fault = takeFault(Operation::AcquireLock)) {
        return *fault == testing::kLockTimeoutMarker ? static_cast<ErrorCode>(ETIMEDOUT) : *fault;
    }
    const std::filesystem::path directory = target.parent_path();
    const char* name = directory.empty() ? "." : directory.c_str();
    const int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return lastError();
    }
    // Uncontended, which is nearly always: one call.
    int result = ::flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR) {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    }
    if (result != 0) {
        if (errno != EWOULDBLOCK) {
            const ErrorCode error = lastError();
            ::close(fd);
            return error;
        }
        if (const ErrorCode error = waitForFlock(fd, wait); error != 0) {
            return error;  // the descriptor is closed, or left to the waiting thread
        }
    }
    handle_ = fd;
    return 0;
}

ErrorCode SaveLock::syncDirectory() {
    if (auto fault = takeFault(Operation::SyncDirectory)) {
        return *fault;
    }
    return ::fsync(descriptor(handle_)) == 0 ? 0 : lastError();
}

void SaveLock::release() {
    if (handle_ < 0) {
        return;
    }
    // Closing the only descriptor of this open file description drops the flock.
    ::close(descriptor(handle_));
    handle_ = -1;
}

WritableFile::~WritableFile() {
    close();
}

ErrorCode WritableFile::open(const std::filesystem::path& path,
                             const std::filesystem::path& permissionsFrom) {
    close();
    permissionsSourceExists_.reset();
    if (auto fault = takeFault(Operation::OpenTemp)) {
        return *fault;
    }
    // A save over an existing file keeps that file's permission bits; any other save gets the
    // creation mode (0666 less the umask).
    struct stat source {};
    const bool sourceFound =
        !permissionsFrom.empty() && ::stat(permissionsFrom.c_str(), &source) == 0;
    permissionsSourceExists_ = sourceFound;
    const bool copyMode = sourceFound && S_ISREG(source.st_mode);
    // The temporary file is always a new file of this process. A regular file left at the name
    // by an interrupted save is removed first, whatever its links, owner or mode: truncating it
    // instead would keep its inode, so a leftover hard-linked to another file (the target
    // itself, say) would have that file overwritten, and a read-only one would block every
    // save. A symbolic link, FIFO, device or directory planted there stays where it is, and
    // the exclusive create refuses it (EEXIST). The create is tried first, so that the usual
    // save, which finds no leftover, makes no extra call.
    // O_EXCL: never opens anything that exists, a symbolic link included (also a dangling one).
    // O_NONBLOCK: a FIFO that appears meanwhile must not hang the save.
    const auto createExclusively = [&path] {
        return ::open(path.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                      0666);
    };
    int fd = createExclusively();
    if (fd < 0 && errno == EEXIST) {
        struct stat leftover {};
        if (::lstat(path.c_str(), &leftover) == 0 && S_ISREG(leftover.st_mode) &&
            ::unlink(path.c_str()) == 0) {
            fd = createExclusively();
        } else {
            errno = EEXIST;
        }
    }
    if (fd < 0) {
        return lastError();
    }
    // The exclusive create made a new regular file: nothing planted at the name can be open
    // here. Its mode is the creation mode less the umask, which only a status query tells (the
    // umask cannot be read without changing it). Failure to copy the bits is not fatal: the
    // file then keeps the creation mode. Bits that already match (the usual case) need no call.
    if (copyMode) {
        struct stat status {};
        if (::fstat(fd, &status) != 0) {
            const ErrorCode error = lastError();
            ::close(fd);
            return error;
        }
        if ((status.st_mode & 07777) != (source.st_mode & 07777)) {
            (void)::fchmod(fd, source.st_mode & 07777);
        }
    }
    handle_ = fd;
    return 0;
}

ErrorCode WritableFile::write(std::string_view bytes) {
    if (auto fault = takeFault(Operation::WriteTemp)) {
        return *fault;
    }
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor(handle_), data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return lastError();
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

ErrorCode WritableFile::sync() {
    if (auto fault = takeFault(Operation::SyncTemp)) {
        return *fault;
    }
#if defined(__linux__)
    const int result = ::fdatasync(descriptor(handle_));
#else
    const int result = ::fsync(descriptor(handle_));
#endif
    return result == 0 ? 0 : lastError();
}

ErrorCode WritableFile::close() {
    if (handle_ < 0) {
        return 0;
    }
    const int fd = descriptor(handle_);
    handle_ = -1;
    const auto fault = takeFault(Operation::CloseTemp);
    // The descriptor is released even when the close reports an error (Linux, also on EINTR).
    const int result = ::close(fd);
    if (fault) {
        return *fault;
    }
    return result == 0 ? 0 : lastError();
}

ErrorCode replaceFile(const std::filesystem::path& target,
                      const std::filesystem::path& replacement) {
    if (auto fault = takeFault(Operation::Replace)) {
        return *fault;
    }
    return renamePath(replacement, target);
}

ErrorCode moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& target) {
    if (auto fault = takeFault(Operation::MoveIntoPlace)) {
        return *fault;
    }
    return renamePath(from, target);
}

ErrorCode syncDirectory(const std::filesystem::path& directory) {
    if (auto fault = takeFault(Operation::SyncDirectory)) {
        return *fault;
    }
    const char* name = directory.empty() ? "." : directory.c_str();
    const int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return lastError();
    }
    ErrorCode error = 0;
    if (::fsync(fd) != 0) {
        error = lastError();
    }
    ::close(fd);
    return error;
}

ErrorCode moveAside(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (auto fault = takeFault(Operation::MoveAside)) {
        return *fault;
    }
    return renamePath(from, to);
}

bool isMarkedReadOnly(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) {
        return false;
    }
    if ((status.st_mode & S_IWUSR) == 0) {
        return true;
    }
    // Another user's file that this one may not write; a read-only file system is no mark.
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES;
}

ErrorCode setReadOnlyMark(const std::filesystem::path& path, bool readOnly) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return lastError();
    }
    const mode_t mode = status.st_mode & 07777;
    const mode_t wanted =
        readOnly ? (mode & ~mode_t{S_IWUSR | S_IWGRP | S_IWOTH}) : (mode | S_IWUSR);
    if (wanted == mode) {
        return 0;
    }
    return ::chmod(path.c_str(), wanted) == 0 ? 0 : lastError();
}

namespace {

// Closes a descriptor when its scope ends, also when an exception leaves the scope.
class ScopedDescriptor {
public:
    explicit ScopedDescriptor(int fd) : fd_(fd) {}
    ~ScopedDescriptor() { ::close(fd_); }
    ScopedDescriptor(const ScopedDescriptor&) = delete;
    ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

ReadResult readWholeFile(const std::filesystem::path& path, std::string& contents) {
    contents.clear();
    if (auto fault = takeFault(Operation::ReadFile)) {
        if (*fault == testing::kSharingViolationMarker) {
            return {ReadStatus::SharingViolation, *fault};
        }
        return {ReadStatus::Failed, *fault};
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer. Only regular files are read.
    const int opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (opened < 0) {
        return {ReadStatus::Failed, lastError()};
    }
    const ScopedDescriptor fd(opened);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        return {ReadStatus::Failed, lastError()};
    }
    if (!S_ISREG(status.st_mode)) {
        return {ReadStatus::Failed,
                static_cast<ErrorCode>(S_ISDIR(status.st_mode) ? EISDIR : EINVAL)};
    }

    // Read straight into the result, sized from the file, until that size has arrived or a read
    // returns 0 bytes (the file shrank since fstat). Any call may return fewer bytes than asked
    // for (FUSE, network file systems, signals, and Linux above 0x7ffff000 bytes), so nothing
    // else ends the loop. A file that grows meanwhile is being written in place and cannot be
    // read consistently anyway: what fstat reported is what is read, and no further call looks
    // for the end of the file. A file larger than the process can hold in memory is a failed
    // read (EFBIG beyond what a string can hold, else ENOMEM).
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size > contents.max_size()) {
        return {ReadStatus::Failed, static_cast<ErrorCode>(EFBIG)};
    }
    if (!detail::resizeReadBuffer(contents, static_cast<std::size_t>(size))) {
        contents = std::string();
        return {ReadStatus::Failed, static_cast<ErrorCode>(ENOMEM)};
    }
    // A size of 0 is not believed: such a file is read until a read returns 0 (one call for a
    // file that is really empty).
    const bool sizeUnknown = size == 0;
    std::size_t filled = 0;
    for (;;) {
        if (filled == contents.size()) {
            bool tooLarge = false;
            if (!sizeUnknown) {
                break;
            }
            if (!detail::growReadBuffer(contents, tooLarge)) {
                contents = std::string();
                return {ReadStatus::Failed, static_cast<ErrorCode>(tooLarge ? EFBIG : ENOMEM)};
            }
        }
        const std::size_t request = std::min(contents.size() - filled, detail::kMaxReadRequest);
        const ssize_t got =
            ::read(fd.get(), contents.data() + filled, detail::bytesOneReadDelivers(request));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const ErrorCode error = lastError();
            contents = std::string();
            return {ReadStatus::Failed, error};
        }
        if (got == 0) {
            break;  // the end: the file shrank, or its size was not known
        }
        filled += static_cast<std::size_t>(got);
    }
    contents.resize(filled);
    return {ReadStatus::Ok, 0};
}

std::string claimPrivateDirectory(const std::filesystem::path& directory) {
    // Created with mode 0700, so that a new directory is never open to others, not even for the
    // moment before a chmod. An existing entry (a directory, or something planted) stays as it
    // is and is checked below; mkdir never follows a symbolic link at the name.
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        return directory.string() + ": " + errorText(lastError());
    }
    // Open without following a final symbolic link, then check and change the very object that
    // was opened, so that nothing can be swapped in between the check and the chmod.
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR) {
            return directory.string() +
                   " is not a directory of its own (a symbolic link or a file)";
        }
        return directory.string() + ": " + errorText(static_cast<ErrorCode>(error));
    }
    struct stat status {};
    std::string problem;
    // Two different calls can fail here, and both are reported alike.
    if (::fstat(fd, &status) != 0) {  // NOLINT(bugprone-branch-clone)
        problem = directory.string() + ": " + errorText(lastError());
    } else if (status.st_uid != ::geteuid()) {
        problem = directory.string() + " belongs to another user";
    } else if ((status.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        problem = directory.string() + ": " + errorText(lastError());
    }
    ::close(fd);
    return problem;
}

}  // namespace tarvik::platform
