// The floors of the benchmark suite on POSIX: the bare system calls that a durable save, a
// load and a log line cannot do without. The only file of bench/ that includes OS headers.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <vector>

#include <dirent.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "bench/BenchSupport.h"

namespace tarvik::bench::baseline {
namespace {

bool writeAll(int fd, std::string_view bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool writeDurably(const std::filesystem::path& directory, const std::string& name,
                  std::string_view bytes) {
    const std::string target = (directory / name).native();
    const std::string temp = target + ".tmp";
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        return false;
    }
    // Saves of one file exclude each other: the lock is on the directory descriptor that is
    // synced at the end, and closing that descriptor drops it.
    bool ok = ::flock(dirFd, LOCK_EX) == 0;
    const int fd = ok ? ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : -1;
    if (fd >= 0) {
        ok = writeAll(fd, bytes) && ::fdatasync(fd) == 0;
        ok = (::close(fd) == 0) && ok;
        ok = ok && ::rename(temp.c_str(), target.c_str()) == 0 && ::fsync(dirFd) == 0;
    } else {
        ok = false;
    }
    ::close(dirFd);
    return ok;
}

bool readFile(const std::filesystem::path& path, std::string& contents) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        return false;
    }
    contents.resize(static_cast<std::size_t>(status.st_size));
    std::size_t filled = 0;
    while (filled < contents.size()) {
        const ssize_t got = ::read(fd, contents.data() + filled, contents.size() - filled);
        if (got <= 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    contents.resize(filled);
    return true;
}

bool quarantine(const std::filesystem::path& corrupt, const std::filesystem::path& backup,
                std::string_view prefix) {
    if (::rename(corrupt.c_str(), backup.c_str()) != 0) {
        return false;
    }
    DIR* listing = ::opendir(backup.parent_path().c_str());
    if (listing == nullptr) {
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name(entry->d_name);
        if (name.compare(0, prefix.size(), prefix) == 0) {
            names.emplace_back(name);
        }
    }
    constexpr std::size_t kKept = 5;
    if (names.size() > kKept) {
        std::nth_element(names.begin(), names.begin() + kKept, names.end(),
                         std::greater<std::string>());
        const int directory = ::dirfd(listing);
        for (auto it = names.begin() + kKept; it != names.end(); ++it) {
            (void)::unlinkat(directory, it->c_str(), 0);
        }
    }
    ::closedir(listing);
    return true;
}

void makeBackups(const std::filesystem::path& directory, std::string_view prefix, int count) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    std::string name(prefix);
    const std::size_t stem = name.size();
    char stamp[32];
    for (int i = 0; i < count; ++i) {
        std::snprintf(stamp, sizeof(stamp), "2000%04d-%06d", i / 10000, i % 10000);
        name.resize(stem);
        name += stamp;
        const int file = ::openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (file >= 0) {
            ::close(file);
        }
    }
    ::close(fd);
}

void markTrace(const char* label) {
    (void)::access(label, F_OK);
}

std::tm localTime(std::time_t seconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

NullDevice::NullDevice() : fd_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}

NullDevice::~NullDevice() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void NullDevice::write(std::string_view bytes) const {
    (void)writeAll(fd_, bytes);
}

StderrToNull::StderrToNull() {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) {
        return;
    }
    saved_ = ::dup(STDERR_FILENO);
    if (saved_ >= 0) {
        ::dup2(null, STDERR_FILENO);
    }
    ::close(null);
}

StderrToNull::~StderrToNull() {
    if (saved_ >= 0) {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
}

}  // namespace tarvik::bench::baseline
