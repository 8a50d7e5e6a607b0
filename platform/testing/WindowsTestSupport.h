// Test-only Windows operations: files held open with a chosen sharing mode, helper processes
// talking over pipes, and the wide command line. Lets the Windows tests provoke real sharing
// violations from a second process without including <windows.h> themselves. Implemented only
// for Windows (WindowsTestSupportWin32.cpp); linked only into test programs.
//
//   ChildProcess holder;
//   holder.start(executableDirectory() / "tarvik_file_holder.exe", {L"none", path.wstring()});
//   std::string line;
//   holder.readLine(line);  // "held": the file is now open in the other process
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/File.h"

namespace tarvik::platform::testing {

// This process's arguments, element 0 being the program, read from the wide command line. The
// narrow argv of main() passes through the ANSI code page and loses every character it lacks.
std::vector<std::wstring> wideCommandLineArguments();

// The directory that holds this process's executable.
std::filesystem::path executableDirectory();

// The 8.3 short form of the existing `path` (GetShortPathNameW); empty when it cannot be had.
std::filesystem::path shortPathName(const std::filesystem::path& path);

// The volume serial number and file index of the existing directory `directory`
// (GetFileInformationByHandle on a handle opened with backup semantics), by which another
// program names the saves' lock of the files in it; false when they cannot be had.
bool directoryIdentity(const std::filesystem::path& directory, std::uint32_t& volume,
                       std::uint64_t& index);

// A named mutex created (or opened) and owned by the calling thread, as by another program that
// takes a lock by its name; released and closed by the destructor, on the same thread.
class OwnedMutex {
public:
    OwnedMutex() = default;
    ~OwnedMutex();
    OwnedMutex(const OwnedMutex&) = delete;
    OwnedMutex& operator=(const OwnedMutex&) = delete;

    // 0 once the mutex `name` is owned; the OS's error number otherwise.
    ErrorCode acquire(const std::wstring& name);

private:
    std::intptr_t handle_ = -1;
};

// What a file held open by a test lets other openers do.
enum class Sharing {
    None,               // share mode 0: every other open fails with a sharing violation
    ReadWriteNoDelete,  // others may read and write, but not delete, rename or replace it
    ReadWriteDelete     // as the load opens it: others may also rename or replace it
};

// A file opened for reading with a chosen sharing mode; closed by close() or the destructor.
class HeldFile {
public:
    HeldFile() = default;
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // Opens the existing file at `path`; 0 or the OS's error number.
    ErrorCode open(const std::filesystem::path& path, Sharing sharing);
    void close();

private:
    std::intptr_t handle_ = -1;
};

// A child process whose standard input and output are pipes to this process; its standard
// error is this process's. The destructor closes the pipes and waits for the child to end.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `arguments`, each quoted so that the child's CommandLineToArgvW
    // gives them back unchanged. 0 or the OS's error number.
    ErrorCode start(const std::filesystem::path& program,
                    const std::vector<std::wstring>& arguments);
    // Writes `line` and "\n" to the child's standard input.
    bool writeLine(std::string_view line);
    // Reads the next line (without its "\n" or "\r\n") from the child's standard output;
    // false at the end of the output.
    bool readLine(std::string& line);
    // Closes the child's standard input, waits for it to end and returns its exit status;
    // -1 if it was never started or could not be waited for.
    int wait();

private:
    std::intptr_t process_ = -1;
    std::intptr_t input_ = -1;   // our end of the child's standard input
    std::intptr_t output_ = -1;  // our end of the child's standard output
    std::string buffered_;
};

}  // namespace tarvik::platform::testing
