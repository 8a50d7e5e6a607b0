// Change notifications on POSIX: inotify on the file's directory (Linux), an eventfd to wake
// the watching thread, poll() on both. Other POSIX systems get no notifications (Unsupported),
// so their watchers look at the file now and then.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#endif

#include "platform/DirectoryWatch.h"
#include "platform/testing/FaultInjection.h"

namespace tarvik::platform {

namespace {

using Clock = std::chrono::steady_clock;

// What a directory is, whatever path leads to it.
struct DirectoryIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

}  // namespace

struct DirectoryWatch::Handles {
    int wake = -1;    // eventfd, readable once wake() was called
    int notify = -1;  // the inotify instance, made by the first arm()
    int watch = -1;   // the directory's watch descriptor in it
    std::string name;
    std::filesystem::path directory;      // as arm() was given it
    DirectoryIdentity identity;           // what it led to when the watch was set up
    Clock::time_point nextIdentityCheck;  // while watching
    // Opens of the file under its name less its closes, as the notifications tell (see
    // drainEvents); a new file under the name starts again from zero.
    int openCount = 0;
    // A writer closed the file while someone else still had it open: the last close completes.
    bool writeClosedWhileOpen = false;
};

namespace {

// Without a wake-up descriptor a wait sleeps at most this long before it looks at the flag.
constexpr int kSliceMs = 50;

int remainingMs(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) {
        return -1;
    }
    if (*deadline == Clock::time_point::max()) {
        return 1 << 30;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 1 << 30));
}

#if defined(__linux__)

// File systems on which inotify sees only the changes made through this machine's kernel:
// NFS, SMB/CIFS, FUSE (sshfs, rclone, ...), 9P (WSL's drives, VM shares), Ceph, AFS, Coda.
bool isRemoteFileSystem(const std::filesystem::path& directory) {
    struct statfs status {};
    if (::statfs(directory.c_str(), &status) != 0) {
        return false;
    }
    const auto type = static_cast<std::uint32_t>(status.f_type);
    constexpr std::uint32_t kRemoteTypes[] = {
        0x6969u,      // NFS
        0x517Bu,      // SMB
        0xFF534D42u,  // CIFS
        0xFE534D42u,  // SMB2
        0x65735546u,  // FUSE
        0x01021997u,  // 9P
        0x00C36400u,  // Ceph
        0x5346414Fu,  // AFS
        0x73757245u,  // Coda
    };
    return std::find(std::begin(kRemoteTypes), std::end(kRemoteTypes), type) !=
           std::end(kRemoteTypes);
}

Clock::time_point later(Clock::time_point time, std::chrono::milliseconds delay) {
    return time >= Clock::time_point::max() - delay ? Clock::time_point::max() : time + delay;
}

// The directory `path` leads to now (following symbolic links, as inotify_add_watch does);
// nothing when it leads nowhere, the error in `error`.
std::optional<DirectoryIdentity> identityOf(const std::filesystem::path& path, int& error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = errno;
        return std::nullopt;
    }
    if (!S_ISDIR(status.st_mode)) {
        error = ENOTDIR;
        return std::nullopt;
    }
    return DirectoryIdentity{status.st_dev, status.st_ino};
}

// Whether the path no longer leads to the watched directory: it leads nowhere, to a file, or to
// another directory. A status that cannot be had for another reason (a parent that may not be
// searched any more) proves nothing: the watch is kept.
bool directoryReplaced(const DirectoryWatch::Handles& handles) {
    int error = 0;
    const std::optional<DirectoryIdentity> now = identityOf(handles.directory, error);
    if (!now) {
        return error == ENOENT || error == ENOTDIR;
    }
    return now->device != handles.identity.device || now->inode != handles.identity.inode;
}

void removeWatch(DirectoryWatch::Handles& handles) {
    if (handles.watch >= 0) {
        // Fails harmlessly (EINVAL) when the kernel already dropped the watch (IN_IGNORED).
        (void)::inotify_rm_watch(handles.notify, handles.watch);
        handles.watch = -1;
    }
}

// What one event on the file's name says of its content: nothing (an open, a reader's close),
// a change that may still be going on, or a save that is complete now. Keeps the open count:
// a close after writing completes a save when nobody has the file open any more. The count is
// only as good as the notifications: the kernel merges an event with an identical one queued
// just before it, so two opens (or closes) in a row count once. A count too high only makes a
// close wait for the settle time as any other change does; one too low lets a close by one of
// two writers at once read the other's half-written file, which the watcher takes for
// unusable only if it stays so.
std::optional<WatchSignal> contentSignal(DirectoryWatch::Handles& handles, std::uint32_t mask) {
    if ((mask & IN_MOVED_TO) != 0) {
        handles.openCount = 0;  // another file (inode) under the name, written before it came
        handles.writeClosedWhileOpen = false;
        return WatchSignal::CompleteSave;
    }
    if ((mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM)) != 0) {
        handles.openCount = 0;
        handles.writeClosedWhileOpen = false;
        return WatchSignal::Changed;
    }
    if ((mask & IN_OPEN) != 0) {
        ++handles.openCount;
        return std::nullopt;
    }
    if ((mask & IN_MODIFY) != 0) {
        handles.writeClosedWhileOpen = false;  // written again after the close
        return WatchSignal::Changed;
    }
    if ((mask & IN_CLOSE_WRITE) != 0) {
        handles.openCount = std::max(handles.openCount - 1, 0);
        handles.writeClosedWhileOpen = handles.openCount > 0;
        return handles.openCount == 0 ? WatchSignal::CompleteSave : WatchSignal::Changed;
    }
    if ((mask & IN_CLOSE_NOWRITE) != 0) {
        handles.openCount = std::max(handles.openCount - 1, 0);
        if (handles.writeClosedWhileOpen && handles.openCount == 0) {
            handles.writeClosedWhileOpen = false;  // the last one out after a writer
            return WatchSignal::CompleteSave;
        }
        return std::nullopt;
    }
    return WatchSignal::Changed;  // IN_ATTRIB: perhaps readable again
}

// Reads every queued event and reports the strongest one that concerns the file; Timeout when
// none does (the save's temporary file, other files of the directory). Among the events on the
// name, the last one that says something of its content decides between Changed and
// CompleteSave; a change of attributes after a complete save leaves it complete.
WatchSignal drainEvents(DirectoryWatch::Handles& handles) {
    // The enumeration lists the signals from the weakest to the strongest.
    WatchSignal strongest = WatchSignal::Timeout;
    const auto raise = [&strongest](WatchSignal signal) {
        strongest = std::max(strongest, signal);
    };
    std::optional<WatchSignal> content;
    alignas(struct inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = ::read(handles.notify, buffer, sizeof(buffer));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // EAGAIN: the queue is empty
        }
        if (got == 0) {
            break;
        }
        for (ssize_t offset = 0; offset < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                raise(WatchSignal::Overflow);
            } else if (event->wd != handles.watch) {
                continue;  // left over from a watch given up before
            } else if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) !=
                       0) {
                raise(WatchSignal::DirectoryGone);
            } else if (event->len > 0 && handles.name == event->name) {
                const std::optional<WatchSignal> said = contentSignal(handles, event->mask);
                const bool attributesAfterSave =
                    event->mask == IN_ATTRIB && content == WatchSignal::CompleteSave;
                if (said && !attributesAfterSave) {
                    content = said;
                }
            }
        }
    }
    if (content) {
        raise(*content);
    }
    if (strongest == WatchSignal::DirectoryGone) {
        // A directory that was moved keeps its watch; the path is what is watched, so let go.
        removeWatch(handles);
    }
    return strongest;
}

#endif

}  // namespace

DirectoryWatch::DirectoryWatch(std::chrono::milliseconds identityCheck)
    : handles_(std::make_unique<Handles>()),
      identityCheck_(std::max(identityCheck, std::chrono::milliseconds(1))) {
#if defined(__linux__)
    handles_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#endif
}

DirectoryWatch::~DirectoryWatch() {
    for (const int fd : {handles_->wake, handles_->notify}) {
        if (fd >= 0) {
            ::close(fd);  // closing the instance drops its watch
        }
    }
}

WatchArm DirectoryWatch::arm(const std::filesystem::path& file) {
    if (const auto fault = testing::takeFault(testing::Operation::Watch)) {
        return {WatchState::Unsupported, *fault};
    }
#if defined(__linux__)
    Handles& handles = *handles_;
    handles.name = file.filename().native();
    std::filesystem::path directory = file.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    if (handles.notify < 0) {
        handles.notify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (handles.notify < 0) {
            // EMFILE (the per-user instance limit, max_user_instances), ENFILE, ENOSYS, ENOMEM.
            return {WatchState::Unsupported, static_cast<ErrorCode>(errno)};
        }
    }
    removeWatch(handles);
    handles.openCount = 0;
    handles.writeClosedWhileOpen = false;
    handles.directory = directory;
    // The identity is taken before the watch is set up. Should the directory be replaced in
    // between, the watch is either on the old directory, which the first check finds out, or on
    // the new one, which the first check takes for replaced: one needless arm. Taken after the
    // watch, the new directory's identity could be kept with a watch on the old one for good.
    int identityError = 0;
    const std::optional<DirectoryIdentity> identity = identityOf(directory, identityError);
    if (!identity) {
        // Unsupported: a path that cannot be followed (EACCES on a parent) cannot be watched.
        return {identityError == ENOENT || identityError == ENOTDIR ? WatchState::DirectoryMissing
                                                                    : WatchState::Unsupported,
                static_cast<ErrorCode>(identityError)};
    }
    // Every way the file's name can get new content: written in place (modify, close), created,
    // deleted, renamed to or from the name; attributes, so that a file made readable again is
    // looked at; opens and closes, to tell when the last writer is done. The directory's own
    // deletion or move ends the watch.
    constexpr std::uint32_t kMask = IN_MODIFY | IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE |
                                    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                    IN_EXCL_UNLINK;
    int watch = -1;
    int error = 0;
    if (const auto fault = testing::takeFault(testing::Operation::WatchOpen)) {
        error = static_cast<int>(*fault);
    } else {
        watch = ::inotify_add_watch(handles.notify, directory.c_str(), kMask);
        error = errno;
    }
    if (watch < 0) {
        if (error == ENOENT || error == ENOTDIR) {
            return {WatchState::DirectoryMissing, static_cast<ErrorCode>(error)};
        }
        // ENOSPC: the per-user watch limit (max_user_watches); EACCES: no read permission.
        return {WatchState::Unsupported, static_cast<ErrorCode>(error)};
    }
    handles.watch = watch;
    handles.identity = *identity;
    handles.nextIdentityCheck = later(Clock::now(), identityCheck_);
    return {isRemoteFileSystem(directory) ? WatchState::WatchingRemote : WatchState::Watching, 0};
#else
    (void)file;
    return {WatchState::Unsupported, static_cast<ErrorCode>(ENOSYS)};
#endif
}

WatchSignal DirectoryWatch::wait(std::chrono::milliseconds timeout) {
    std::optional<Clock::time_point> deadline;
    if (timeout.count() >= 0) {
        deadline = Clock::now() + timeout;
    }
    Handles& handles = *handles_;
    for (;;) {
        if (woken_.load(std::memory_order_acquire)) {
            return WatchSignal::Woken;
        }
        pollfd descriptors[2] = {};
        nfds_t count = 0;
        if (handles.wake >= 0) {
            descriptors[count++] = {handles.wake, POLLIN, 0};
        }
        const bool watching = handles.notify >= 0 && handles.watch >= 0;
        if (watching) {
            descriptors[count++] = {handles.notify, POLLIN, 0};
        }
        int waitMs = remainingMs(deadline);
        if (handles.wake < 0 && (waitMs < 0 || waitMs > kSliceMs)) {
            waitMs = kSliceMs;
        }
#if defined(__linux__)
        if (watching) {
            // Wakes for the next look at the directory's identity.
            const int checkMs = remainingMs(handles.nextIdentityCheck);
            if (waitMs < 0 || waitMs > checkMs) {
                waitMs = checkMs;
            }
        }
#endif
        const int ready = ::poll(descriptors, count, waitMs);
        if (ready < 0 && errno != EINTR) {
            return WatchSignal::Timeout;  // cannot wait: the caller decides again
        }
        if (woken_.load(std::memory_order_acquire)) {
            return WatchSignal::Woken;
        }
#if defined(__linux__)
        if (watching) {
            WatchSignal signal = WatchSignal::Timeout;
            if (ready > 0 && (descriptors[count - 1].revents & POLLIN) != 0) {
                signal = drainEvents(handles);
            }
            const Clock::time_point now = Clock::now();
            if (signal != WatchSignal::DirectoryGone &&
                (signal != WatchSignal::Timeout || now >= handles.nextIdentityCheck)) {
                handles.nextIdentityCheck = later(now, identityCheck_);
                if (directoryReplaced(handles)) {
                    removeWatch(handles);
                    return WatchSignal::DirectoryGone;
                }
            }
            if (signal != WatchSignal::Timeout) {
                return signal;
            }
        }
#endif
        if (deadline && Clock::now() >= *deadline) {
            return WatchSignal::Timeout;
        }
    }
}

void DirectoryWatch::wake() {
    woken_.store(true, std::memory_order_release);
    if (handles_->wake >= 0) {
        const std::uint64_t one = 1;
        // Never blocks (EFD_NONBLOCK); the counter stays readable, so every later poll() wakes.
        (void)!::write(handles_->wake, &one, sizeof(one));
    }
}

}  // namespace tarvik::platform
