// Shared by the Windows tests: the common scratch fixture and recording logger, and a file held
// open by the helper process tarvik_file_holder, which stands for another program on the machine.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include <tarvik/common/Logging.h>
#include "platform/testing/WindowsTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvik::windows_tests {

using common::LogLevel;
using LogLine = testsupport::LogEntry;
using testsupport::namesIn;
using testsupport::readFile;
using testsupport::RecordingLogger;
using testsupport::utf8;
using testsupport::writeFile;

// A scratch directory and a recording logger per test (see ScratchTest), under the names the
// Windows tests use.
class WindowsTest : public testsupport::ScratchTest {
protected:
    const std::filesystem::path& scratch() const { return dir_; }
    RecordingLogger& logger() { return recorder(); }
};

// `path` held open by another process with the given sharing until release() or the end of
// the scope. held() tells whether the helper has the file open; status() what it said.
class FileHeldByOtherProcess {
public:
    FileHeldByOtherProcess(const std::filesystem::path& path, platform::testing::Sharing sharing)
        : FileHeldByOtherProcess(
              path, sharing == platform::testing::Sharing::None ? L"none" : L"nodelete") {}

    // The saves' lock of `path` held by another process, as by a save in progress there.
    static std::unique_ptr<FileHeldByOtherProcess> lockOf(const std::filesystem::path& path) {
        return std::unique_ptr<FileHeldByOtherProcess>(new FileHeldByOtherProcess(path, L"lock"));
    }

    bool held() const { return status_ == "held"; }
    const std::string& status() const { return status_; }

    // Makes the helper close the file (or release the lock); returns once it has.
    bool release() {
        std::string answer;
        return helper_.writeLine("release") && helper_.readLine(answer) && answer == "released";
    }

private:
    FileHeldByOtherProcess(const std::filesystem::path& path, const wchar_t* mode) {
        const std::filesystem::path helper =
            platform::testing::executableDirectory() / "tarvik_file_holder.exe";
        if (const auto error = helper_.start(helper, {mode, path.wstring()}); error != 0) {
            status_ = "could not start " + utf8(helper) + ": error " + std::to_string(error);
            return;
        }
        helper_.readLine(status_);
    }

    platform::testing::ChildProcess helper_;
    std::string status_;
};

}  // namespace tarvik::windows_tests
