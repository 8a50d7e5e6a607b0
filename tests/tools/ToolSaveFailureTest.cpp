// Hunts a failed save that tarvik-config reports without the reason: the user must learn which
// file could not be written and why, in the OS's words, and find the settings file as it was.
// Relies on the reason that the save's result carries (SaveOutcome::message).
#include <string>
#include <system_error>

#include "tests/tools/ToolTestFixture.h"

namespace tarvik::tool_tests {
namespace {

class ToolSaveFailureTest : public ToolTest {};

TEST_F(ToolSaveFailureTest, FailedSaveNamesTheFileAndTheReason) {
    if (!platform::testing::isPosix()) {
        GTEST_SKIP() << "the OS's wording for a directory in the way is POSIX's here";
    }
    driver::Config config;
    config.detection.fftSize = 1024;
    ASSERT_TRUE(driver::saveConfigJson(file_, config));
    const std::string bytes = readFile(file_);
    // A directory where the temporary file must go: the save cannot create it.
    const fs::path temporary = file_.parent_path() / "config.json.tmp";
    fs::create_directory(temporary);

    const ProgramRun set = run({"set", name(), "detection.fftSize", "4096"});
    EXPECT_EQ(set.status, 3);  // failed: the save, not what the user gave
    EXPECT_EQ(set.output, "");
    EXPECT_EQ(set.error.rfind("tarvik-config: ", 0), 0u) << set.error;
    EXPECT_NE(set.error.find(utf8(temporary)), std::string::npos) << set.error;
    // The temporary file is created exclusively, so the OS's word is that the name is taken.
    EXPECT_NE(set.error.find(std::make_error_code(std::errc::file_exists).message()),
              std::string::npos)
        << set.error;
    EXPECT_EQ(readFile(file_), bytes);
}

}  // namespace
}  // namespace tarvik::tool_tests
