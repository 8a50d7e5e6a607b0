// Shared by the tests of tarvik-config: a scratch directory with the settings file in a
// directory of its own, and a way to run the program (found next to the test program) with
// its exit status, standard output and standard error captured whole.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigFile.h>
#include "platform/testing/OsTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvik::tool_tests {

namespace fs = std::filesystem;
using platform::testing::ProgramRun;
using testsupport::namesIn;
using testsupport::readFile;
using testsupport::utf8;
using testsupport::writeFile;

class ToolTest : public testsupport::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        capture_ = dir_ / "capture";
        fs::create_directories(capture_);
        useDirectory(dir_ / "settings");
    }

    // Puts the settings file into `directory` (created).
    void useDirectory(const fs::path& directory) {
        fs::create_directories(directory);
        file_ = directory / "config.json";
    }

    ProgramRun run(const std::vector<std::string>& arguments) {
        return platform::testing::runProgram(
            platform::testing::executableDirectory() / TARVIK_CONFIG_PROGRAM, arguments, capture_);
    }

    // The file's name as the tests pass it, and as the program repeats it in messages.
    std::string name() const { return utf8(file_); }

    // The bytes a save of `config` writes.
    std::string savedBytes(const driver::Config& config) {
        const fs::path path = dir_ / "expected" / "config.json";
        EXPECT_TRUE(driver::saveConfigJson(path, config));
        return readFile(path);
    }

    fs::path file_;
    fs::path capture_;
};

}  // namespace tarvik::tool_tests
