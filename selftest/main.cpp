// The atomic-persistence self-test: save twice to one file, check that no temporary file is
// left, load it back and compare one value.
//
// Output: "all tests passed" on standard output and status 0, or one "FAIL: <check> at line
// <number>" line on standard error and status 1. The log lines of save and load come before
// it on standard error, from the console logger that the logging module installs before main;
// the program installs none of its own. When one of the program's own file-system
// operations fails, or an exception leaves a save or load, it prints "error: <what>" on
// standard error and exits with status 2.
#include <exception>
#include <filesystem>
#include <iostream>

#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"

namespace tvd = tarvik::driver;

namespace {

constexpr int kFailed = 1;
constexpr int kError = 2;

struct CheckFailed {
    const char* text;
    int number;
};

void check(bool passed, const char* text, int number) {
    if (!passed) {
        throw CheckFailed{text, number};
    }
}

int runRoundTrip() {
    const std::filesystem::path scratch =
        std::filesystem::temp_directory_path() / "tarvik_p8_atomic_persist_test";
    // The scratch directory lies in a shared directory under a fixed name: it is created private
    // to its owner, and one that someone else planted (a symbolic link, or a directory of
    // another user) is refused.
    std::filesystem::create_directories(scratch.parent_path());
    if (const std::string problem = tarvik::platform::claimPrivateDirectory(scratch);
        !problem.empty()) {
        std::cerr << "error: " << problem << '\n';
        return kError;
    }
    const std::filesystem::path cfgPath = scratch / "config.json";
    std::filesystem::remove(cfgPath);

    tvd::Config cfg1;
    cfg1.detection.sensitivity = 0.3f;
    check(tvd::saveConfigJson(cfgPath, cfg1), "tvd::saveConfigJson(cfgPath, cfg1)", 36);
    check(std::filesystem::exists(cfgPath), "std::filesystem::exists(cfgPath)", 37);

    tvd::Config cfg2;
    cfg2.detection.sensitivity = 0.7f;
    check(tvd::saveConfigJson(cfgPath, cfg2), "tvd::saveConfigJson(cfgPath, cfg2)", 41);
    check(std::filesystem::exists(cfgPath), "std::filesystem::exists(cfgPath)", 42);

    std::filesystem::path tmpOrphan = cfgPath;
    tmpOrphan += ".tmp";
    check(!std::filesystem::exists(tmpOrphan), "!std::filesystem::exists(tmpOrphan)", 47);

    tvd::Config roundTrip;
    check(tvd::loadConfigJson(cfgPath, roundTrip), "tvd::loadConfigJson(cfgPath, roundTrip)", 51);
    check(roundTrip.detection.sensitivity == 0.7f, "roundTrip.detection.sensitivity == 0.7f", 52);

    std::filesystem::remove_all(scratch);
    std::cout << "all tests passed\n";
    return 0;
}

}  // namespace

int main() {
    try {
        return runRoundTrip();
    } catch (const CheckFailed& failed) {
        std::cerr << "FAIL: " << failed.text << " at line " << failed.number << '\n';
        return kFailed;
    } catch (const std::exception& error) {
        std::cerr << "error: " << error.what() << '\n';
        return kError;
    } catch (...) {
        std::cerr << "error: unknown exception\n";
        return kError;
    }
}
