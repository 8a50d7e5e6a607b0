// Hunts a saves' lock that follows the text of the path instead of what it leads to: while
// another process holds the lock of a file through its plain path, a save through the
// extended-length ("\\?\") form, an 8.3 short directory name, a trailing dot, other letter case
// or ".." segments would otherwise get a lock of its own and overwrite that process's change.
// (Junctions and subst drives lead to the directory the same way; Wine cannot make them.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <string>

#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"
#include "tests/windows/WindowsTestFixture.h"

namespace tarvik::windows_tests {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kShortWait{100};

struct Spelling {
    const char* name;
    // Another spelling of `file` (absolute, in a directory whose name has a short form).
    fs::path (*of)(const fs::path& file);
};

void PrintTo(const Spelling& spelling, std::ostream* out) {
    *out << spelling.name;
}

const Spelling kSpellings[] = {
    {"ExtendedLength", [](const fs::path& file) { return fs::path(L"\\\\?\\" + file.wstring()); }},
    {"ShortDirectoryName",
     [](const fs::path& file) {
         const fs::path shortDirectory = platform::testing::shortPathName(file.parent_path());
         return shortDirectory.empty() ? fs::path() : shortDirectory / file.filename();
     }},
    {"TrailingDot", [](const fs::path& file) { return fs::path(file.wstring() + L"."); }},
    {"OtherCase",
     [](const fs::path& file) {
         std::wstring upper = file.wstring();
         std::transform(upper.begin(), upper.end(), upper.begin(),
                        [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
         return fs::path(upper);
     }},
    {"DotDotSegments",
     [](const fs::path& file) {
         return file.parent_path() / ".." / file.parent_path().filename() / file.filename();
     }},
};

class LockSpellingTest : public WindowsTest, public ::testing::WithParamInterface<Spelling> {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        directory_ = scratch() / "Settings of the driver";  // long: it gets an 8.3 short name
        fs::create_directories(directory_);
        file_ = directory_ / "config.json";
    }

    fs::path directory_;
    fs::path file_;
};

TEST_P(LockSpellingTest, LockHeldThroughThePlainPathExcludesThisSpelling) {
    const fs::path other = GetParam().of(file_);
    if (other.empty()) {
        GTEST_SKIP() << "the system gave no 8.3 short name for " << utf8(directory_);
    }
    ASSERT_NE(other.wstring(), file_.wstring());

    const auto holder = FileHeldByOtherProcess::lockOf(file_);
    ASSERT_TRUE(holder->held()) << holder->status();
    platform::SaveLock attempt;
    EXPECT_TRUE(platform::isLockTimeout(attempt.acquire(other, kShortWait)))
        << utf8(other) << " got a lock of its own";
    // A save through that spelling waits for the holder too, and writes nothing.
    const driver::SaveOutcome saved = driver::saveConfigJsonOutcome(other, driver::Config{});
    EXPECT_EQ(saved.failure, driver::SaveFailure::Busy);
    EXPECT_FALSE(fs::exists(file_));

    ASSERT_TRUE(holder->release());
    EXPECT_EQ(attempt.acquire(other, std::chrono::seconds(10)), 0u);
}

// The control: another directory's lock is another lock, so the test above cannot pass merely
// because every attempt times out.
TEST_F(LockSpellingTest, LockOfAnotherDirectoryIsNotExcluded) {
    fs::create_directories(scratch() / "elsewhere");
    const auto holder = FileHeldByOtherProcess::lockOf(file_);
    ASSERT_TRUE(holder->held()) << holder->status();
    platform::SaveLock attempt;
    EXPECT_EQ(attempt.acquire(scratch() / "elsewhere" / "config.json", kShortWait), 0u);
}

INSTANTIATE_TEST_SUITE_P(Spellings, LockSpellingTest, ::testing::ValuesIn(kSpellings),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvik::windows_tests
