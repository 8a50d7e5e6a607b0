// Hunts a saves' lock that follows the text of the path instead of what it leads to: while
// another process holds the lock of a file through its plain path, a save through the
// extended-length ("\\?\") form, an 8.3 short directory name, a trailing dot, other letter case
// or ".." segments would otherwise get a lock of its own and overwrite that process's change.
// (Junctions and subst drives lead to the directory the same way; Wine cannot make them.)
// And a lock under another name than the one other programs are told to take: they would not
// exclude the library's saves.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <future>
#include <string>
#include <thread>

#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"
#include "platform/testing/WindowsTestSupport.h"
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

// Other programs that share the file (the tray application) take the lock by its name:
// "Local\tarvik-config-save-v2-", the directory's volume serial number in 8 lower-case
// hexadecimal digits, "-", its file index in 16. The library must wait for a holder of that name.
TEST_F(LockSpellingTest, MutexOfTheVersionedNameThatOtherProgramsTakeExcludesTheLibrary) {
    std::uint32_t volume = 0;
    std::uint64_t index = 0;
    ASSERT_TRUE(platform::testing::directoryIdentity(directory_, volume, index));
    wchar_t name[80];
    std::swprintf(name, 80, L"Local\\tarvik-config-save-v2-%08x-%016llx",
                  static_cast<unsigned>(volume), static_cast<unsigned long long>(index));

    std::promise<platform::ErrorCode> held;
    std::promise<void> letGo;
    std::thread otherProgram([&held, &letGo, &name] {
        platform::testing::OwnedMutex mutex;
        held.set_value(mutex.acquire(name));
        letGo.get_future().wait();
    });
    const platform::ErrorCode error = held.get_future().get();
    platform::SaveLock attempt;
    const platform::ErrorCode whileHeld = attempt.acquire(file_, kShortWait);
    letGo.set_value();
    otherProgram.join();
    ASSERT_EQ(error, 0u);
    EXPECT_TRUE(platform::isLockTimeout(whileHeld)) << "a lock under another name";
    EXPECT_EQ(attempt.acquire(file_, kShortWait), 0u);
}

}  // namespace
}  // namespace tarvik::windows_tests
