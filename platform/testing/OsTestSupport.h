// OS operations that only tests need: planting special files, holding files open, changing
// permissions. Lives beside the platform layer so that tests never include OS headers; linked
// only into test programs (target tarvik::platform_testing).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tarvik::platform::testing {

// True when this build's platform layer is the POSIX one.
bool isPosix();

// Makes a FIFO (named pipe) at `path`. False where the platform has none (Windows) or the
// call fails.
bool makeFifo(const std::filesystem::path& path);

// Sets the process's file-creation mask and returns the previous one (umask). Returns 0 and does
// nothing where the platform has none (Windows).
unsigned setUmask(unsigned mask);

// The directory that holds this process's executable (empty if it cannot be found). Declared
// in WindowsTestSupport.h as well, for the Windows tests.
std::filesystem::path executableDirectory();

// The 8.3 short form of the existing `path` (GetShortPathNameW); empty when it cannot be had,
// and where the platform has no such names (POSIX). Declared in WindowsTestSupport.h as well.
std::filesystem::path shortPathName(const std::filesystem::path& path);

// What a program run by runProgram() did.
struct ProgramRun {
    int status = -1;     // exit status; -1 if it could not be started or did not exit normally
    std::string output;  // everything it wrote to standard output, bytes unchanged
    std::string error;   // everything it wrote to standard error, bytes unchanged
};

// Runs `program` with `arguments` (UTF-8; on Windows passed on the wide command line, quoted so
// that CommandLineToArgvW gives them back unchanged) with an empty standard input, and waits
// for it. Its standard output and error go to two files in `captureDirectory` (which must
// exist) and are read back whole.
ProgramRun runProgram(const std::filesystem::path& program,
                      const std::vector<std::string>& arguments,
                      const std::filesystem::path& captureDirectory);

// How a test asks a running program to end, as a user or a parent program would.
enum class Interrupt {
    CtrlC,       // SIGINT (POSIX only)
    Terminate,   // SIGTERM (POSIX only)
    CloseInput,  // the end of its standard input (a pipe)
};

// A program running beside the test, with pipes for its standard input and output (its
// standard error goes to the file "stderr" in the capture directory), whose output is read line
// by line as it comes, each read bounded by a timeout. The destructor kills it if it still runs.
class RunningProgram {
public:
    RunningProgram() = default;
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    // Starts `program` with `arguments` (UTF-8, as runProgram() passes them). False when it
    // could not be started.
    bool start(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::filesystem::path& captureDirectory);
    // The next line of its standard output, without its "\n"; false when none came within
    // `timeout` or the output ended first.
    bool readLine(std::string& line, std::chrono::milliseconds timeout);
    // Sends the interrupt; false where the platform has no such thing (Windows: signals).
    bool interrupt(Interrupt how);
    // Waits up to `timeout` for it to end and returns its exit status; -1 if it had to be
    // killed or did not exit normally.
    int wait(std::chrono::milliseconds timeout);
    // What it wrote to standard error.
    std::string error() const;

private:
    std::intptr_t process_ = -1;
    std::intptr_t input_ = -1;   // our end of its standard input
    std::intptr_t output_ = -1;  // our end of its standard output
    std::string buffered_;
    std::filesystem::path errorPath_;
};

// The user id that owns `path` (not following a final symbolic link); -1 where the platform
// has none (Windows) or the query fails.
long ownerOf(const std::filesystem::path& path);

// Gives `path` to the unprivileged user 65534 (nobody); false where that is not permitted (not
// root) or the platform has no owners (Windows).
bool giveToNobody(const std::filesystem::path& path);

// How many descriptors or handles this process holds open; -1 where that cannot be counted.
long openDescriptorCount();

// How many threads this process runs; -1 where that cannot be counted.
long threadCount();

// This process's descriptors open on `path` (compared by what they refer to), and how many of
// them a program it starts would inherit (not close-on-exec). Both -1 where that cannot be
// told (Windows).
struct OpenDescriptors {
    long open = -1;
    long inheritable = -1;
};
OpenDescriptors descriptorsOpenOn(const std::filesystem::path& path);

// Whether some process waits for a flock on `directory` (POSIX: a blocked request in
// /proc/locks on its device and inode); false where that cannot be seen (Windows, no procfs).
bool someoneWaitsToLock(const std::filesystem::path& directory);

// Marks `path` hidden, system and read-only (Windows attributes); false where the platform
// has none (POSIX) or the call fails.
bool markHiddenSystemReadOnly(const std::filesystem::path& path);

}  // namespace tarvik::platform::testing
