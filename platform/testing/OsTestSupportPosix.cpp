// Test-only OS operations on POSIX.
#include "platform/testing/OsTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <system_error>
#include <thread>

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

std::filesystem::path shortPathName(const std::filesystem::path& /*path*/) {
    return {};
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

RunningProgram::~RunningProgram() {
    if (process_ > 0) {
        ::kill(static_cast<pid_t>(process_), SIGKILL);
        int status = 0;
        while (::waitpid(static_cast<pid_t>(process_), &status, 0) < 0 && errno == EINTR) {
        }
    }
    for (const std::intptr_t fd : {input_, output_}) {
        if (fd >= 0) {
            ::close(static_cast<int>(fd));
        }
    }
}

bool RunningProgram::start(const std::filesystem::path& program,
                           const std::vector<std::string>& arguments,
                           const std::filesystem::path& captureDirectory) {
    if (process_ > 0) {
        return false;
    }
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    if (::pipe2(input, O_CLOEXEC) != 0) {
        return false;
    }
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return false;
    }
    errorPath_ = captureDirectory / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> strings{program.string()};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv(strings.size() + 1, nullptr);
    std::transform(strings.begin(), strings.end(), argv.begin(),
                   [](std::string& text) { return text.data(); });
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(input[1]);
        ::close(output[0]);
        return false;
    }
    process_ = child;
    input_ = input[1];
    output_ = output[0];
    return true;
}

bool RunningProgram::readLine(std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
            line.assign(buffered_, 0, end);
            buffered_.erase(0, end + 1);
            return true;
        }
        if (output_ < 0) {
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{static_cast<int>(output_), POLLIN, 0};
        const int ready =
            ::poll(&readable, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t got = ::read(static_cast<int>(output_), chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ::close(static_cast<int>(output_));
            output_ = -1;
            continue;
        }
        buffered_.append(chunk, static_cast<std::size_t>(got));
    }
}

bool RunningProgram::interrupt(Interrupt how) {
    if (how == Interrupt::CloseInput) {
        if (input_ >= 0) {
            ::close(static_cast<int>(input_));
            input_ = -1;
        }
        return true;
    }
    return process_ > 0 &&
           ::kill(static_cast<pid_t>(process_), how == Interrupt::CtrlC ? SIGINT : SIGTERM) == 0;
}

int RunningProgram::wait(std::chrono::milliseconds timeout) {
    if (process_ <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto child = static_cast<pid_t>(process_);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            process_ = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            process_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a bounded wait for the exit
    }
    process_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RunningProgram::error() const {
    return readAll(errorPath_);
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

bool someoneWaitsToLock(const std::filesystem::path& directory) {
    struct stat wanted {};
    if (::stat(directory.c_str(), &wanted) != 0) {
        return false;
    }
    // "1: -> FLOCK  ADVISORY  WRITE 4321 08:01:5678 0 EOF": a blocked request, with the
    // device in hexadecimal and the inode in decimal.
    std::ostringstream place;
    place << std::hex << std::setfill('0') << std::setw(2) << major(wanted.st_dev) << ':'
          << std::setw(2) << minor(wanted.st_dev) << ':' << std::dec << wanted.st_ino << ' ';
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("-> FLOCK") != std::string::npos &&
            line.find(place.str()) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool markHiddenSystemReadOnly(const std::filesystem::path& /*path*/) {
    return false;
}

}  // namespace tarvik::platform::testing
