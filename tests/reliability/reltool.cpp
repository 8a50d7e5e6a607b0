// Drives the save and the load from the command line for the power-cut, crash and fault
// scripts under scripts/. It hunts nothing by itself: the scripts kill it, starve it or make
// its system calls fail, and then use its `check` command to judge what is left on disk.
//
//   tarvik_reltool expect <n>                 prints the document that `save <n>` writes
//   tarvik_reltool save <path> <n>            saves document n; prints "saved" and exits 0 when
//                                             the save returned true, exits 1 when it returned
//                                             false
//   tarvik_reltool check <path> <n|absent>... exits 0 when the file's bytes are exactly one of
//                                             the listed documents (or the file is absent and
//                                             "absent" is listed) and prints which; else 1
//   tarvik_reltool load <path>                loads once with the console logger; prints the
//                                             version that the record holds afterwards
//   tarvik_reltool writer <path> <a> <b>      saves a and b alternately until killed; exits 1
//                                             at the first save that returns false
//   tarvik_reltool reader <path> <stop> <a> <b>
//                                             loads in a loop until the file <stop> exists;
//                                             exits 3 at the first message other than a clean
//                                             load or a record that is neither a nor b
//
// Document n differs from every other in its version, sensitivity, data file and a 6000-byte
// binding, so that it spans more than one page and a torn write cannot pass for another one.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/ConsoleLogger.h"
#include "common/Logging.h"
#include "config/ConfigFile.h"

namespace tvd = tarvik::driver;
using tarvik::common::LogLevel;

namespace {

constexpr int kUsage = 2;
constexpr int kReaderSawTrouble = 3;
constexpr char kLoadedPrefix[] = "Driver loaded config from: ";

tvd::Config variantConfig(int n) {
    tvd::Config config;
    config.version = n;
    config.detection.sensitivity = static_cast<float>(n) / 8.0f;
    config.training.dataFile = "variant-" + std::to_string(n) + ".bin";
    config.steamvr.customActionBinding = std::string(6000, static_cast<char>('a' + n % 26));
    return config;
}

std::string variantText(int n) {
    nlohmann::json document;
    tvd::to_json(document, variantConfig(n));
    return document.dump(4);
}

bool sameAsVariant(const tvd::Config& config, int n) {
    const tvd::Config expected = variantConfig(n);
    return config.version == expected.version &&
           config.detection.sensitivity == expected.detection.sensitivity &&
           config.training.dataFile == expected.training.dataFile &&
           config.steamvr.customActionBinding == expected.steamvr.customActionBinding;
}

std::optional<int> parseVariant(const std::string& text) {
    try {
        std::size_t used = 0;
        const int n = std::stoi(text, &used);
        if (used == text.size() && n >= 0) {
            return n;
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

int usage() {
    std::cerr << "usage: tarvik_reltool expect|save|check|load|writer|reader ... (see source)\n";
    return kUsage;
}

void installConsoleLogger() {
    tarvik::common::globalLogger = std::make_shared<tarvik::common::ConsoleLogger>();
}

int save(const std::filesystem::path& path, int n) {
    installConsoleLogger();
    if (!tvd::saveConfigJson(path, variantConfig(n))) {
        return 1;
    }
    std::cout << "saved" << std::endl;
    return 0;
}

int check(const std::filesystem::path& path, const std::vector<std::string>& allowed) {
    std::error_code error;
    const bool present = std::filesystem::exists(path, error);
    if (error) {
        std::cout << "unreadable: " << error.message() << '\n';
        return 1;
    }
    if (!present) {
        if (std::find(allowed.begin(), allowed.end(), "absent") != allowed.end()) {
            std::cout << "absent\n";
            return 0;
        }
        std::cout << "absent, which is not allowed here\n";
        return 1;
    }
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const std::string& name : allowed) {
        const auto n = parseVariant(name);
        if (n && bytes == variantText(*n)) {
            std::cout << *n << '\n';
            return 0;
        }
    }
    const auto zeros = std::count(bytes.begin(), bytes.end(), '\0');
    std::string start;
    for (const char c : bytes.substr(0, 40)) {
        start += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    std::cout << "neither of the allowed documents: " << bytes.size() << " bytes, " << zeros
              << " zero bytes, begins \"" << start << "\"";
    // How much of each document it holds tells a torn write from foreign data.
    for (const std::string& name : allowed) {
        if (const auto n = parseVariant(name)) {
            const std::string expected = variantText(*n);
            const auto differ =
                std::mismatch(bytes.begin(), bytes.end(), expected.begin(), expected.end());
            std::cout << "; first " << (differ.first - bytes.begin()) << " bytes are document "
                      << *n;
        }
    }
    std::cout << '\n';
    return 1;
}

int load(const std::filesystem::path& path) {
    installConsoleLogger();
    tvd::Config config;
    tvd::loadConfigJson(path, config);
    std::cout << config.version << '\n';
    return 0;
}

int writer(const std::filesystem::path& path, int a, int b) {
    installConsoleLogger();
    const tvd::Config documents[2] = {variantConfig(a), variantConfig(b)};
    for (unsigned long i = 0;; ++i) {
        if (!tvd::saveConfigJson(path, documents[i % 2])) {
            std::cerr << "writer: save " << i << " returned false\n";
            return 1;
        }
    }
}

// Remembers the first message that is not a clean load: a reader that sees a half-written
// file logs "Config file corrupted" and quarantines it.
class TroubleLogger final : public tarvik::common::ILogger {
public:
    void log(LogLevel level, std::string_view message) override {
        if (level == LogLevel::Info &&
            message.substr(0, sizeof kLoadedPrefix - 1) == kLoadedPrefix) {
            return;
        }
        if (trouble_.empty()) {
            trouble_ = std::string(message);
        }
    }
    void setLevel(LogLevel) override {}
    LogLevel getLevel() const override { return LogLevel::Trace; }
    const std::string& trouble() const { return trouble_; }

private:
    std::string trouble_;
};

int reader(const std::filesystem::path& path, const std::filesystem::path& stop, int a, int b) {
    auto logger = std::make_shared<TroubleLogger>();
    tarvik::common::globalLogger = logger;
    unsigned long loads = 0;
    while (!std::filesystem::exists(stop)) {
        tvd::Config config;
        tvd::loadConfigJson(path, config);
        ++loads;
        if (!logger->trouble().empty()) {
            std::cout << "reader: load " << loads << " logged: " << logger->trouble() << '\n';
            return kReaderSawTrouble;
        }
        if (!sameAsVariant(config, a) && !sameAsVariant(config, b)) {
            std::cout << "reader: load " << loads << " gave version " << config.version
                      << ", neither document\n";
            return kReaderSawTrouble;
        }
    }
    std::cout << "reader: " << loads << " clean loads\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return usage();
    }
    const std::string& command = args[0];
    try {
        if (command == "expect" && args.size() == 2 && parseVariant(args[1])) {
            std::cout << variantText(*parseVariant(args[1]));
            return 0;
        }
        if (command == "save" && args.size() == 3 && parseVariant(args[2])) {
            return save(args[1], *parseVariant(args[2]));
        }
        if (command == "check" && args.size() >= 3) {
            return check(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
        }
        if (command == "load" && args.size() == 2) {
            return load(args[1]);
        }
        if (command == "writer" && args.size() == 4 && parseVariant(args[2]) &&
            parseVariant(args[3])) {
            return writer(args[1], *parseVariant(args[2]), *parseVariant(args[3]));
        }
        if (command == "reader" && args.size() == 5 && parseVariant(args[3]) &&
            parseVariant(args[4])) {
            return reader(args[1], args[2], *parseVariant(args[3]), *parseVariant(args[4]));
        }
    } catch (const std::exception& error) {
        std::cerr << "error: " << error.what() << '\n';
        return kUsage;
    }
    return usage();
}
