// File operations for POSIX systems: open/write/fdatasync/rename, and fsync of the directory
// so that a renamed file survives a power cut.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <dlfcn.h>
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

bool isLockBusy(ErrorCode code) {
    return code == ETIMEDOUT || code == EWOULDBLOCK;
}

bool isLockReentered(ErrorCode code) {
    return code == EDEADLK;
}

SaveLock::~SaveLock() {
    release();
}

namespace {

// The errors with which a file system refuses flock altogether (NFS without a lock manager,
// some FUSE file systems): saves then go on without excluding each other.
bool lockingUnsupported(int error) {
    return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS;
}

// The directory an open descriptor refers to, whatever path led to it.
using DirectoryId = std::array<std::uint64_t, 2>;

std::optional<DirectoryId> directoryOf(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return std::nullopt;
    }
    return DirectoryId{static_cast<std::uint64_t>(status.st_dev),
                       static_cast<std::uint64_t>(status.st_ino)};
}

// The wait for a contended flock. flock has no timed form, and polling with LOCK_NB starves the
// waiter: a process that saves in a loop frees the lock for only microseconds between two
// saves. So a thread blocks in flock, where the kernel wakes it as soon as the lock is free,
// while callers wait for it with their deadlines. There is at most one such thread per
// directory: every caller that waits for that directory shares it. When it gets the lock it
// hands its descriptor, which now holds the lock, to one caller still waiting; when every caller
// has given up it closes the descriptor, releasing the lock at once. A caller that gives up thus
// leaves no thread or descriptor of its own behind.
struct DirectoryWait {
    int callers = 0;             // callers of acquire() waiting for this directory
    bool waiterRunning = false;  // a thread is blocked in flock for them
    int grantedFd = -1;          // that thread's descriptor, locked, for one caller to take
    int error = 0;               // that thread's flock failed with this
};

struct WaitRegistry {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<DirectoryId, DirectoryWait> waits;
};

WaitRegistry& waitRegistry() {
    // Never destroyed: a waiting thread may still use it while the process exits and runs the
    // static destructors.
    static WaitRegistry* const registry = new WaitRegistry;
    return *registry;
}

// A thread of this module runs on after its caller gave up, and must never find the module
// unmapped when it wakes (a driver's .so that the host dlclose()s meanwhile). So before the
// first such thread starts, the module takes a reference to itself that it never gives back:
// RTLD_NOLOAD finds the module already loaded, RTLD_NODELETE keeps it mapped for good.
void keepThisModuleLoaded() {
    static std::once_flag once;
    std::call_once(once, [] {
        static const char inThisModule = 0;
        Dl_info module{};
        if (::dladdr(&inThisModule, &module) != 0 && module.dli_fname != nullptr) {
            (void)::dlopen(module.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        }
    });
}

// Blocks in flock on `fd` (a descriptor of its own) and hands the lock over as described above.
void waitInKernel(DirectoryId directory, int fd) {
    int error = 0;
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    WaitRegistry& registry = waitRegistry();
    const std::lock_guard<std::mutex> guard(registry.mutex);
    DirectoryWait& wait = registry.waits[directory];
    wait.waiterRunning = false;
    if (error == 0 && wait.callers > 0) {
        wait.grantedFd = fd;
    } else {
        ::close(fd);  // nobody wants the lock any more (or it failed): let it go at once
        wait.error = wait.callers > 0 ? error : 0;
    }
    if (wait.callers == 0) {
        registry.waits.erase(directory);
    }
    registry.changed.notify_all();
}

// Starts the waiting thread for `directory` with a new descriptor of the directory that `fd`
// refers to (a descriptor of its own: flock belongs to the open file description, and one
// shared with a caller would let that caller in twice). False when it could not be started.
bool startWaiter(const DirectoryId& directory, int fd) {
    const int waiterFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (waiterFd < 0) {
        return false;
    }
    try {
        if (takeFault(Operation::StartLockWait)) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        keepThisModuleLoaded();
        std::thread(waitInKernel, directory, waiterFd).detach();
    } catch (const std::system_error&) {
        ::close(waiterFd);
        return false;
    }
    return true;
}

// Waits up to `wait` for the lock of `directory`, whose descriptor `fd` the caller failed to
// lock. Closes `fd`. On success `lockedFd` is a descriptor that holds the lock.
ErrorCode waitForDirectoryLock(const DirectoryId& directory, int fd, std::chrono::milliseconds wait,
                               int& lockedFd) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    WaitRegistry& registry = waitRegistry();
    std::unique_lock<std::mutex> guard(registry.mutex);
    DirectoryWait& entry = registry.waits[directory];  // stays while callers > 0
    ++entry.callers;
    ErrorCode result = 0;
    for (;;) {
        if (entry.grantedFd != -1) {
            lockedFd = entry.grantedFd;
            entry.grantedFd = -1;
            break;
        }
        if (entry.error != 0) {
            result = static_cast<ErrorCode>(entry.error);
            break;
        }
        if (!entry.waiterRunning) {
            // The first caller, or the lock went to another caller and this one still waits.
            if (!startWaiter(directory, fd)) {
                result = EWOULDBLOCK;  // another holder has it, and it cannot be waited for
                break;
            }
            entry.waiterRunning = true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result = ETIMEDOUT;
            break;
        }
        registry.changed.wait_until(guard, deadline);
    }
    if (--entry.callers == 0 && !entry.waiterRunning && entry.grantedFd == -1) {
        registry.waits.erase(directory);
    }
    guard.unlock();
    ::close(fd);
    return result;
}

// flock(LOCK_EX | LOCK_NB), retried when interrupted; the error number, or 0.
int tryLock(int fd) {
    if (auto fault = takeFault(Operation::LockCall)) {
        return static_cast<int>(*fault);
    }
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

}  // namespace

bool SaveLock::heldByThisThread(const DirectoryId& directory) {
    for (const SaveLock* lock = heldLocksOfThisThread(); lock != nullptr; lock = lock->nextHeld_) {
        if (directoryOf(descriptor(lock->handle_)) == directory) {
            return true;
        }
    }
    return false;
}

ErrorCode SaveLock::acquire(const std::filesystem::path& target, std::chrono::milliseconds wait) {
    release();
    if (auto fault = takeFault(Operation::AcquireLock)) {
        return *fault == testing::kLockTimeoutMarker ? static_cast<ErrorCode>(ETIMEDOUT) : *fault;
    }
    const std::filesystem::path directory = target.parent_path();
    const char* name = directory.empty() ? "." : directory.c_str();
    int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return lastError();
    }
    // Uncontended, which is nearly always: one call.
    if (const int error = tryLock(fd); error != 0) {
        if (lockingUnsupported(error)) {
            handle_ = fd;  // still needed to sync the directory
            unsupported_ = static_cast<ErrorCode>(error);
            rememberHeld();
            return 0;
        }
        if (error != EWOULDBLOCK) {
            ::close(fd);
            return static_cast<ErrorCode>(error);
        }
        const std::optional<DirectoryId> id = directoryOf(fd);
        if (!id) {
            const ErrorCode statusError = lastError();
            ::close(fd);
            return statusError;
        }
        if (heldByThisThread(*id)) {
            ::close(fd);
            return EDEADLK;  // waiting would wait for this very thread
        }
        int lockedFd = -1;
        if (const ErrorCode waitError = waitForDirectoryLock(*id, fd, wait, lockedFd);
            waitError != 0) {
            return waitError;  // `fd` is closed
        }
        fd = lockedFd;
    }
    handle_ = fd;
    rememberHeld();
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
    forgetHeld();
    // Closing the only descriptor of this open file description drops the flock.
    ::close(descriptor(handle_));
    handle_ = -1;
    unsupported_ = 0;
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

SwapCallNames swapCallNames() {
    return {"rename", "rename", "errno"};
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
