// Hunts faults in the tolerant load: a locked file retried too often, too rarely or without its
// pauses; a document that is not a JSON object read into the record instead of quarantined; a
// valid document (with a byte-order mark, or empty, or read in short pieces) treated as
// corrupt; a file that shrinks or grows while it is read and hangs or fails the read; a file
// too large to hold that throws or leaks its descriptor; and a FIFO or directory at the path
// that hangs the load or gets moved aside.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <system_error>

#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"
#include "platform/testing/OsTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvik::driver {
namespace {

using common::LogLevel;
using testsupport::describe;
using testsupport::Log;
using testsupport::namesIn;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

constexpr char kBackupPrefix[] = "config.json.corrupted.";

class LoadTest : public testsupport::ScratchTest {
protected:
    fs::path path() const { return dir_ / "config.json"; }

    std::string missingFileLine(const fs::path& path, unsigned code) const {
        return "No config file at " + path.string() +
               "; using defaults (errno=" + std::to_string(code) + ")";
    }
};

TEST_F(LoadTest, EmptyPathReturnsFalseAndLogsNothing) {
    Config config;
    EXPECT_FALSE(loadConfigJson(fs::path(), config));
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(describe(config), describe(Config{}));
}

TEST_F(LoadTest, MissingFileKeepsTheRecordAndSaysSo) {
    Config config;
    config.version = 5;
    EXPECT_TRUE(loadConfigJson(path(), config));
    EXPECT_EQ(config.version, 5);
    EXPECT_EQ(log(), (Log{{LogLevel::Info, missingFileLine(path(), 2)}}));
}

TEST_F(LoadTest, FileLockedThroughoutIsTriedThreeTimesThenLeftAlone) {
    // Another file name: the messages still say "config.json".
    const fs::path settings = dir_ / "settings.json";
    writeFile(settings, R"({"version": 9})");
    platform::testing::reportSharingViolation(3);
    Config config;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(loadConfigJson(settings, config));
    const auto elapsed = std::chrono::steady_clock::now() - started;

    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
    EXPECT_EQ(platform::testing::injectedCount(platform::testing::Operation::ReadFile), 3);
    const std::string retry = "config.json sharing violation (attempt ";
    EXPECT_EQ(log(), (Log{
                         {LogLevel::Warn, retry + "1/3); retrying in 50 ms"},
                         {LogLevel::Warn, retry + "2/3); retrying in 50 ms"},
                         {LogLevel::Warn, retry + "3/3); retrying in 50 ms"},
                         {LogLevel::Warn,
                          "config.json read failed after 3 SHARING_VIOLATION attempts; loading "
                          "defaults"},
                     }));
    EXPECT_EQ(describe(config), describe(Config{}));
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"settings.json"});
    EXPECT_EQ(readFile(settings), R"({"version": 9})");
}

TEST_F(LoadTest, LockReleasedAfterTheFirstPauseGivesAnOrdinaryLoad) {
    writeFile(path(), R"({"version": 9})");
    platform::testing::reportSharingViolation(1);
    Config config;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(loadConfigJson(path(), config));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
    EXPECT_EQ(config.version, 9);
    EXPECT_EQ(
        log(),
        (Log{
            {LogLevel::Warn, "config.json sharing violation (attempt 1/3); retrying in 50 ms"},
            {LogLevel::Info, "Driver loaded config from: " + path().string()},
        }));
}

TEST_F(LoadTest, ByteOrderMarkBeforeAnObjectLoads) {
    writeFile(path(), "\xEF\xBB\xBF{\"version\": 2}");
    Config config;
    EXPECT_TRUE(loadConfigJson(path(), config));
    EXPECT_EQ(config.version, 2);
    EXPECT_EQ(log(), (Log{{LogLevel::Info, "Driver loaded config from: " + path().string()}}));
}

TEST_F(LoadTest, EmptyObjectLoadsAndChangesNothing) {
    writeFile(path(), "{}");
    Config config;
    EXPECT_TRUE(loadConfigJson(path(), config));
    EXPECT_EQ(describe(config), describe(Config{}));
    EXPECT_EQ(log(), (Log{{LogLevel::Info, "Driver loaded config from: " + path().string()}}));
}

// What is at the path is not a regular file: never read, never moved, never a hang.
TEST_F(LoadTest, DirectoryAtThePathIsAMissingFile) {
    fs::create_directory(path());
    Config config;
    EXPECT_TRUE(loadConfigJson(path(), config));
    // EISDIR on POSIX; ERROR_ACCESS_DENIED on Windows.
    const unsigned code =
        platform::testing::isPosix() ? static_cast<unsigned>(std::errc::is_a_directory) : 5u;
    EXPECT_EQ(log(), (Log{{LogLevel::Info, missingFileLine(path(), code)}}));
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    EXPECT_EQ(describe(config), describe(Config{}));
}

TEST_F(LoadTest, FifoAtThePathIsAMissingFileAndDoesNotBlock) {
    if (!platform::testing::isPosix()) {
        GTEST_SKIP() << "no FIFOs on Windows";
    }
    ASSERT_TRUE(platform::testing::makeFifo(path()));
    Config config;
    auto load = std::async(std::launch::async, [&] { return loadConfigJson(path(), config); });
    if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the load blocks on a FIFO";
        std::ofstream unblock(path());  // a writer lets a blocked open or read finish
    }
    EXPECT_TRUE(load.get());
    const auto code = static_cast<unsigned>(std::errc::invalid_argument);
    EXPECT_EQ(log(), (Log{{LogLevel::Info, missingFileLine(path(), code)}}));
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    EXPECT_EQ(describe(config), describe(Config{}));
}

// Any read call may return fewer bytes than asked for (FUSE, network file systems, signals,
// and Linux above 0x7ffff000 bytes): a valid document read in short pieces must load whole,
// not be cut at the first short read and quarantined. The seam makes each read return less
// than the loop asked for, so a loop that takes a short read for the end of the file fails.
TEST_F(LoadTest, ShortReadsStillReadTheWholeDocument) {
    Config saved;
    saved.version = 7;
    saved.detection.sensitivity = 0.3f;
    saved.training.dataFile = std::string(600, 'd');  // more than one read even in 512s
    ASSERT_TRUE(saveConfigJson(path(), saved));
    for (const platform::ErrorCode chunk : {1u, 7u, 512u}) {
        recorder().clear();
        platform::testing::readInChunksOf(chunk);
        Config config;
        EXPECT_TRUE(loadConfigJson(path(), config));
        platform::testing::clearFaults();
        EXPECT_EQ(describe(config), describe(saved)) << "chunks of " << chunk;
        EXPECT_EQ(log(), (Log{{LogLevel::Info, "Driver loaded config from: " + path().string()}}));
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"config.json"});
    }
}

// The read takes the size the file had when it was opened. A file that shrinks meanwhile ends
// at the read that returns nothing (no failure, no endless loop); one that grows is read up
// to the size it had.
TEST_F(LoadTest, FileThatChangesLengthWhileReadIsReadUpToTheFirstSize) {
    const std::string document = R"({"version": 9})";
    const std::pair<std::uintmax_t, std::string> changes[] = {
        {5, document.substr(0, 5)},
        {document.size() + 100, document},
    };
    for (const auto& [newLength, expected] : changes) {
        writeFile(path(), document);
        platform::testing::runBeforeNext(
            platform::testing::Operation::ReadChunk,
            [&, length = newLength] { fs::resize_file(path(), length); });
        std::string contents;
        const platform::ReadResult read = platform::readWholeFile(path(), contents);
        platform::testing::clearFaults();
        EXPECT_EQ(read.status, platform::ReadStatus::Ok) << newLength;
        EXPECT_EQ(contents, expected) << newLength;
    }
}

// A file whose size reads as 0 may still hold bytes (procfs, some FUSE file systems): it is
// read to its end, beyond the first buffer, and not taken for an empty (corrupt) document.
TEST_F(LoadTest, FileThatReportsNoSizeIsReadToItsEnd) {
    const fs::path smaps = "/proc/self/smaps";
    std::error_code error;
    if (!platform::testing::isPosix() || fs::file_size(smaps, error) != 0 || error) {
        GTEST_SKIP() << "no procfs file that reports a size of 0";
    }
    std::string contents;
    ASSERT_EQ(platform::readWholeFile(smaps, contents).status, platform::ReadStatus::Ok);
    EXPECT_GT(contents.size(), 4096u);
    EXPECT_NE(contents.find("VmFlags"), std::string::npos);
}

// A file larger than the process can hold is a failed read: no exception (std::length_error
// is not part of the contract), the file stays where it is, and its descriptor or handle is
// closed (a leaked Windows handle would block every later save of the file).
TEST_F(LoadTest, BufferThatCannotBeAllocatedIsAFailedReadAndClosesTheFile) {
    writeFile(path(), R"({"version": 9})");
    const long openBefore = platform::testing::openDescriptorCount();
    platform::testing::failNext(platform::testing::Operation::ReadAllocation, 0);
    Config config;
    EXPECT_NO_THROW(EXPECT_TRUE(loadConfigJson(path(), config)));
    EXPECT_EQ(platform::testing::openDescriptorCount(), openBefore);
    const unsigned outOfMemory = platform::testing::isPosix() ? ENOMEM : 8u;
    EXPECT_EQ(log(), (Log{{LogLevel::Info, missingFileLine(path(), outOfMemory)}}));
    EXPECT_EQ(describe(config), describe(Config{}));
    EXPECT_EQ(readFile(path()), R"({"version": 9})");
    // Nothing holds the file any more: it can be replaced and removed.
    EXPECT_TRUE(saveConfigJson(path(), Config{}));
    EXPECT_TRUE(fs::remove(path()));
}

// Sparse files of sizes beyond what a string can hold (2^62) and beyond the address space
// (2^50). They need a file system that takes such sizes (tmpfs does, ext4 does not).
struct HugeCase {
    const char* name;
    std::uintmax_t size;
    unsigned posixError;
    unsigned windowsError;
};

void PrintTo(const HugeCase& row, std::ostream* out) {
    *out << row.name;
}

class LoadHugeFileTest : public LoadTest, public ::testing::WithParamInterface<HugeCase> {};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST_P(LoadHugeFileTest, IsAFailedReadThatClosesTheFileAndKeepsIt) {
    if (kAddressSanitizer && GetParam().posixError == ENOMEM) {
        GTEST_SKIP() << "AddressSanitizer aborts on an allocation this large instead of failing it";
    }
    fs::path huge = path();
    std::error_code error;
    writeFile(huge, "");
    fs::resize_file(huge, GetParam().size, error);
    if (error && platform::testing::isPosix() && fs::is_directory("/dev/shm")) {
        fs::remove(huge);
        huge = fs::path("/dev/shm") / ("tarvik_huge_" + dir_.filename().string());
        writeFile(huge, "");
        error.clear();
        fs::resize_file(huge, GetParam().size, error);
    }
    if (error) {
        fs::remove(huge);
        GTEST_SKIP() << "no file system here takes a sparse file of that size: " << error.message();
    }
    const long openBefore = platform::testing::openDescriptorCount();
    Config config;
    bool loaded = false;
    EXPECT_NO_THROW(loaded = loadConfigJson(huge, config));
    const long openAfter = platform::testing::openDescriptorCount();
    const bool stillThere = fs::exists(huge);
    fs::remove(huge);

    EXPECT_TRUE(loaded);
    EXPECT_EQ(openAfter, openBefore);
    EXPECT_TRUE(stillThere);
    const unsigned code =
        platform::testing::isPosix() ? GetParam().posixError : GetParam().windowsError;
    EXPECT_EQ(log(), (Log{{LogLevel::Info, missingFileLine(huge, code)}}));
    EXPECT_EQ(describe(config), describe(Config{}));
}

const HugeCase kHugeCases[] = {
    {"BeyondWhatAStringHolds", std::uintmax_t{1} << 62, EFBIG, 223u},  // ERROR_FILE_TOO_LARGE
    {"BeyondTheAddressSpace", std::uintmax_t{1} << 50, ENOMEM, 8u},    // ERROR_NOT_ENOUGH_MEMORY
};

INSTANTIATE_TEST_SUITE_P(Sizes, LoadHugeFileTest, ::testing::ValuesIn(kHugeCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct CorruptCase {
    const char* name;
    const char* content;
};

void PrintTo(const CorruptCase& row, std::ostream* out) {
    *out << row.name;
}

class LoadCorruptTest : public LoadTest, public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(LoadCorruptTest, DocumentThatIsNotAnObjectIsMovedAsideAndDefaultsKept) {
    const std::string content = GetParam().content;
    writeFile(path(), content);
    Config config;
    EXPECT_TRUE(loadConfigJson(path(), config));
    EXPECT_EQ(describe(config), describe(Config{}));

    const std::vector<std::string> names = namesIn(dir_);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind(kBackupPrefix, 0), 0u) << names[0];
    EXPECT_EQ(readFile(dir_ / names[0]), content);
    EXPECT_EQ(log(),
              (Log{
                  {LogLevel::Warn,
                   "Config file corrupted; backing up and using defaults: " + path().string()},
                  {LogLevel::Warn, "Backed up corrupt config to: " + (dir_ / names[0]).string()},
              }));
}

const CorruptCase kCorruptCases[] = {
    {"EmptyFile", ""},
    {"WhiteSpaceOnly", " \r\n\t "},
    {"Array", R"([{"version": 2}])"},
    {"Null", "null"},
    {"Number", "42"},
    {"String", R"("{\"version\": 2}")"},
    {"Boolean", "true"},
    {"ObjectFollowedByText", R"({"version": 2} x)"},
    {"TwoObjects", R"({"version": 2}{})"},
    {"ObjectWithBlockComment", R"({/* note */ "version": 2})"},
    {"ObjectWithLineComment", "{\"version\": 2 // note\n}"},
    {"IncompleteByteOrderMark", "\xEF\xBB{}"},
    {"TruncatedObject", R"({"version": 2)"},
};

INSTANTIATE_TEST_SUITE_P(Documents, LoadCorruptTest, ::testing::ValuesIn(kCorruptCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvik::driver
