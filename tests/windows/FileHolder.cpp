// Helper process of the Windows tests: holds a file open with a chosen sharing mode, as
// another program (an editor, a backup tool, a second driver instance) would, or holds the
// saves' lock of a file, as another process's save would, until told to let go.
//
//   tarvik_file_holder <none|nodelete|lock> <path>
//
// Protocol on standard input and output, one line each:
//   out "held"          the file is open; the test may now provoke the conflict
//   in  "release"       close the file ...
//   out "released"      ... done
//   end of input        close the file if still open and exit 0
// When the file cannot be opened (or locked) it prints "error <number>" and exits 1; bad
// arguments exit 2.
//
// The path is read from the wide command line: the narrow argv passes through the ANSI code
// page, which would turn a non-ASCII path into the name of another (missing) file.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>

#include "platform/File.h"
#include "platform/testing/WindowsTestSupport.h"

namespace testing = tarvik::platform::testing;

int main() {
    const std::vector<std::wstring> arguments = testing::wideCommandLineArguments();
    if (arguments.size() != 3 ||
        (arguments[1] != L"none" && arguments[1] != L"nodelete" && arguments[1] != L"lock")) {
        std::cerr << "usage: tarvik_file_holder <none|nodelete|lock> <path>\n";
        return 2;
    }
    const std::filesystem::path path(arguments[2]);
    testing::HeldFile file;
    tarvik::platform::SaveLock lock;
    tarvik::platform::ErrorCode error = 0;
    if (arguments[1] == L"lock") {
        error = lock.acquire(path, std::chrono::milliseconds(0));
    } else {
        error = file.open(path, arguments[1] == L"none" ? testing::Sharing::None
                                                        : testing::Sharing::ReadWriteNoDelete);
    }
    if (error != 0) {
        std::cout << "error " << error << std::endl;
        return 1;
    }
    std::cout << "held" << std::endl;

    for (std::string command; std::getline(std::cin, command);) {
        if (command == "release") {
            file.close();
            lock.release();
            std::cout << "released" << std::endl;
        }
    }
    return 0;
}
