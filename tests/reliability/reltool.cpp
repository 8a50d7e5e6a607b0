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
// Several processes on one file (scripts/test-contention.sh runs them together):
//   tarvik_reltool saves <path> <a> <b> <count>
//                                             saves a and b alternately <count> times; prints
//                                             "saves: <count> done, <f> failed"; exit 1 if f > 0
//   tarvik_reltool rawreads <path> <stop> <n>...
//                                             reads the bytes in a loop until <stop> exists;
//                                             prints "rawreads: <r> reads, <t> torn, <m> missing
//                                             after the file existed, <s> refused (sharing)";
//                                             torn: none of the listed documents
//   tarvik_reltool loads <path> <stop> <n>...
//                                             loadConfigJsonOutcome in a loop until <stop>
//                                             exists; prints "loads: <r> reads, <m> missing
//                                             after the file existed, <c> corrupt, <o> other"
//   tarvik_reltool increment <path> <field> <count>
//                                             adds 1 to one integer field (version,
//                                             bufferSizeMs, minDurationMs, cooldownMs, fftSize)
//                                             <count> times with updateConfigJson; exit 1 at
//                                             the first update that returns false
//   tarvik_reltool hold <path>                starts an update and, inside its change, prints
//                                             "holding" and waits until killed
//   tarvik_reltool timedsave <path> <n>       saves n once; prints "saved in <ms> ms" or
//                                             "failed after <ms> ms: <reason>"; exit 0 or 1
//   tarvik_reltool field <path> <field>       prints the field's value as loaded
//
// Document n differs from every other in its version, sensitivity, data file and a 6000-byte
// binding, so that it spans more than one page and a torn write cannot pass for another one.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <tarvik/common/ConsoleLogger.h>
#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigFile.h>
#include "platform/File.h"

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
    std::cerr << "usage: tarvik_reltool expect|save|check|load|writer|reader|saves|rawreads|loads|"
                 "increment|field|hold|timedsave ... (see source)\n";
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

std::optional<std::vector<std::string>> variantTexts(const std::vector<std::string>& names) {
    std::vector<std::string> texts;
    for (const std::string& name : names) {
        const auto n = parseVariant(name);
        if (!n) {
            return std::nullopt;
        }
        texts.push_back(variantText(*n));
    }
    return texts;
}

int saveLoop(const std::filesystem::path& path, int a, int b, int count) {
    installConsoleLogger();
    const tvd::Config documents[2] = {variantConfig(a), variantConfig(b)};
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        failed += tvd::saveConfigJson(path, documents[i % 2]) ? 0 : 1;
    }
    std::cout << "saves: " << count << " done, " << failed << " failed" << std::endl;
    return failed == 0 ? 0 : 1;
}

// Reads the bytes as any other program would, without the layer's load: a torn text is one
// that is none of the documents the savers write.
int rawReadLoop(const std::filesystem::path& path, const std::filesystem::path& stop,
                const std::vector<std::string>& documents) {
    unsigned long reads = 0;
    unsigned long torn = 0;
    unsigned long missing = 0;
    unsigned long refused = 0;
    bool existed = false;
    std::string bytes;
    while (!std::filesystem::exists(stop)) {
        const auto read = tarvik::platform::readWholeFile(path, bytes);
        ++reads;
        if (read.status == tarvik::platform::ReadStatus::SharingViolation) {
            ++refused;
            continue;
        }
        if (read.status != tarvik::platform::ReadStatus::Ok) {
            missing += existed ? 1 : 0;
            continue;
        }
        existed = true;
        if (std::find(documents.begin(), documents.end(), bytes) == documents.end()) {
            ++torn;
        }
    }
    std::cout << "rawreads: " << reads << " reads, " << torn << " torn, " << missing
              << " missing after the file existed, " << refused << " refused (sharing)"
              << std::endl;
    return 0;
}

int loadLoop(const std::filesystem::path& path, const std::filesystem::path& stop,
             const std::vector<std::string>& documents) {
    installConsoleLogger();
    unsigned long reads = 0;
    unsigned long missing = 0;
    unsigned long corrupt = 0;
    unsigned long other = 0;
    bool existed = false;
    while (!std::filesystem::exists(stop)) {
        tvd::Config config;
        const tvd::LoadOutcome outcome = tvd::loadConfigJsonOutcome(path, config);
        switch (outcome) {
            case tvd::LoadOutcome::Read: {
                existed = true;
                ++reads;
                nlohmann::json document;
                tvd::to_json(document, config);
                if (std::find(documents.begin(), documents.end(), document.dump(4)) ==
                    documents.end()) {
                    ++other;  // a record that none of the savers wrote
                }
                break;
            }
            case tvd::LoadOutcome::Missing:
                missing += existed ? 1 : 0;
                break;
            case tvd::LoadOutcome::CorruptMovedAside:
            case tvd::LoadOutcome::CorruptLeftInPlace:
                ++corrupt;
                break;
            default:
                ++other;
                break;
        }
    }
    std::cout << "loads: " << reads << " reads, " << missing << " missing after the file existed, "
              << corrupt << " corrupt, " << other << " other" << std::endl;
    return 0;
}

std::int32_t* integerField(tvd::Config& config, const std::string& name) {
    if (name == "version") {
        return &config.version;
    }
    if (name == "bufferSizeMs") {
        return &config.audio.bufferSizeMs;
    }
    if (name == "minDurationMs") {
        return &config.detection.minDurationMs;
    }
    if (name == "cooldownMs") {
        return &config.detection.cooldownMs;
    }
    if (name == "fftSize") {
        return &config.detection.fftSize;
    }
    return nullptr;
}

int increment(const std::filesystem::path& path, const std::string& field, int count) {
    installConsoleLogger();
    for (int i = 0; i < count; ++i) {
        tvd::Config config;
        if (!tvd::updateConfigJson(path, config,
                                   [&field](tvd::Config& c) { ++*integerField(c, field); })) {
            std::cerr << "increment: update " << i << " returned false\n";
            return 1;
        }
    }
    return 0;
}

int field(const std::filesystem::path& path, const std::string& name) {
    tvd::Config config;
    if (tvd::loadConfigJsonOutcome(path, config) != tvd::LoadOutcome::Read) {
        return 1;
    }
    std::cout << *integerField(config, name) << '\n';
    return 0;
}

int hold(const std::filesystem::path& path) {
    installConsoleLogger();
    tvd::Config config;
    return tvd::updateConfigJson(path, config,
                                 [](tvd::Config&) {
                                     std::cout << "holding" << std::endl;
                                     for (;;) {
                                         std::this_thread::sleep_for(std::chrono::hours(1));
                                     }
                                 })
               ? 0
               : 1;
}

int timedsave(const std::filesystem::path& path, int n) {
    installConsoleLogger();
    const auto started = std::chrono::steady_clock::now();
    const tvd::SaveOutcome outcome = tvd::saveConfigJsonOutcome(path, variantConfig(n));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    if (!outcome) {
        std::cout << "failed after " << took.count() << " ms: " << outcome.message(path)
                  << std::endl;
        return 1;
    }
    std::cout << "saved in " << took.count() << " ms" << std::endl;
    return 0;
}

std::optional<int> parseCount(const std::string& text) {
    return parseVariant(text);
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
        if (command == "saves" && args.size() == 5 && parseVariant(args[2]) &&
            parseVariant(args[3]) && parseCount(args[4])) {
            return saveLoop(args[1], *parseVariant(args[2]), *parseVariant(args[3]),
                            *parseCount(args[4]));
        }
        if ((command == "rawreads" || command == "loads") && args.size() >= 4) {
            const auto documents = variantTexts({args.begin() + 3, args.end()});
            if (documents) {
                return command == "loads" ? loadLoop(args[1], args[2], *documents)
                                          : rawReadLoop(args[1], args[2], *documents);
            }
        }
        if (command == "increment" && args.size() == 4 && parseCount(args[3])) {
            tvd::Config probe;
            if (integerField(probe, args[2]) != nullptr) {
                return increment(args[1], args[2], *parseCount(args[3]));
            }
        }
        if (command == "field" && args.size() == 3) {
            tvd::Config probe;
            if (integerField(probe, args[2]) != nullptr) {
                return field(args[1], args[2]);
            }
        }
        if (command == "hold" && args.size() == 2) {
            return hold(args[1]);
        }
        if (command == "timedsave" && args.size() == 3 && parseVariant(args[2])) {
            return timedsave(args[1], *parseVariant(args[2]));
        }
    } catch (const std::exception& error) {
        std::cerr << "error: " << error.what() << '\n';
        return kUsage;
    }
    return usage();
}
