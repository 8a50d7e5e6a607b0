// Test-only OS operations on POSIX.
#include "platform/testing/OsTestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

extern char** environ;

namespace tarvik::platform::testing {

bool isPosix() {
    return true;
}

bool makeFifo(const std::filesystem::path& path) {
    return ::mkfifo(path.c_str(), 0600) == 0;
}

unsigned setUmask(unsigned mask) {
    return static_cast<unsigned>(::umask(static_cast<mode_t>(mask)));
}

std::filesystem::path executableDirectory() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
}

namespace {

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ProgramRun runProgram(const std::filesystem::path& program,
                      const std::vector<std::string>& arguments,
                      const std::filesystem::path& captureDirectory) {
    ProgramRun run;
    const auto outputPath = captureDirectory / "stdout";
    const auto errorPath = captureDirectory / "stderr";
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return run;
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> strings{program.string()};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv(strings.size() + 1, nullptr);  // ends with the null posix_spawn needs
    std::transform(strings.begin(), strings.end(), argv.begin(),
                   [](std::string& text) { return text.data(); });
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return run;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return run;
        }
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = readAll(outputPath);
    run.error = readAll(errorPath);
    return run;
}

long ownerOf(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return -1;
    }
    return static_cast<long>(status.st_uid);
}

bool giveToNobody(const std::filesystem::path& path) {
    return ::lchown(path.c_str(), 65534, 65534) == 0;
}

long openDescriptorCount() {
    std::error_code error;
    std::filesystem::directory_iterator listing("/proc/self/fd", error);
    if (error) {
        return -1;
    }
    return static_cast<long>(std::distance(listing, std::filesystem::directory_iterator()));
}

long threadCount() {
    std::error_code error;
    std::filesystem::directory_iterator listing("/proc/self/task", error);
    if (error) {
        return -1;
    }
    return static_cast<long>(std::distance(listing, std::filesystem::directory_iterator()));
}

OpenDescriptors descriptorsOpenOn(const std::filesystem::path& path) {
    struct stat wanted {};
    std::error_code error;
    std::filesystem::directory_iterator listing("/proc/self/fd", error);
    if (error || ::stat(path.c_str(), &wanted) != 0) {
        return {};
    }
    OpenDescriptors found{0, 0};
    for (const std::filesystem::directory_entry& entry : listing) {
        const std::string name = entry.path().filename().string();
        int fd = -1;
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc()) {
            continue;
        }
        struct stat status {};
        if (::fstat(fd, &status) != 0 || status.st_dev != wanted.st_dev ||
            status.st_ino != wanted.st_ino) {
            continue;
        }
        ++found.open;
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
            ++found.inheritable;
        }
    }
    return found;
}

bool markHiddenSystemReadOnly(const std::filesystem::path& /*path*/) {
    return false;
}

}  // namespace tarvik::platform::testing
