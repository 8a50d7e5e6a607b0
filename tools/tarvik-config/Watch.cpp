// tarvik-config watch FILE: prints the state of the settings file, then one line per change as
// the driver's watcher reports it, each line written at once (standard output is unbuffered, so
// a pipe into a log gets every line as it happens):
//
// The table below is kept as it is written (the formatter would reflow it into prose).
// clang-format off
//   watching config.json
//   version: 1
//   ...
//   detection.sensitivity: 0.7 -> 0.5        a key changed (values as the document holds them)
//   unusable: FILE:LINE:COLUMN: error: ...   the file does not parse; the driver keeps its record
//   FILE:LINE:COLUMN: note: ...              what to change there, as check says it
//   read                                     usable again (changed keys follow)
//   missing                                  gone for a second (the keys back to their defaults
//                                            follow)
//   unreadable: <why>                        exists but cannot be read
//   polling: ...                             no change notifications: looked at every second
// clang-format on
//
// Everything that comes from the file is escaped before it reaches the terminal: values are
// printed in their JSON form, escaped as the checker's messages are (escapedForMessage); a float
// in the shortest form that reads back as the same float.
#include "tools/tarvik-config/Commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <map>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigKeys.h>
#include <tarvik/config/ConfigWatcher.h>
#include "platform/CommandLine.h"

namespace tarvik::tools {
namespace {

namespace tvd = tarvik::driver;
using json = nlohmann::json;

std::string rendered(const json& value) {
    // JSON escapes the C0 controls itself; invalid UTF-8 becomes U+FFFD instead of throwing.
    return tvd::escapedForMessage(value.dump(-1, ' ', false, json::error_handler_t::replace));
}

using Values = std::map<std::string, std::string>;

// Each key's value as the document holds it where the driver takes it from there, else the
// record's (a default, or a value the driver kept because it skipped the document's).
Values valuesOf(const tvd::ConfigNews& news) {
    const json record = news.config;
    json document;  // only read through references (see the load on deep nesting)
    if (news.outcome == tvd::WatchOutcome::Read) {
        document = json::parse(news.text, nullptr, /*allow_exceptions=*/false,
                               /*ignore_comments=*/false);
    }
    Values values;
    for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
        const bool topLevel = key.section[0] == '\0';
        const json& fromRecord = topLevel ? record.at(key.key) : record.at(key.section).at(key.key);
        const json* fromDocument = nullptr;
        if (document.is_object()) {
            const json* holder = &document;
            if (!topLevel) {
                const auto section = document.find(key.section);
                holder = section != document.end() && section->is_object() ? &*section : nullptr;
            }
            if (holder != nullptr) {
                const auto value = holder->find(key.key);
                if (value != holder->end() &&
                    tvd::acceptValue(key, *value) == tvd::Acceptance::Applied) {
                    fromDocument = &*value;
                }
            }
        }
        // A float shows as the shortest text that reads back as the float the driver uses, as
        // every command of the tool shows it ("0.7", not the document's 0.699999988079071).
        values[key.name] = key.type == tvd::ValueType::Float
                               ? tvd::floatText(fromRecord.get<float>())
                               : rendered(fromDocument != nullptr ? *fromDocument : fromRecord);
    }
    return values;
}

class WatchPrinter {
public:
    explicit WatchPrinter(const File& file) : file_(file) {}

    void print(const tvd::ConfigNews& news) {
        std::string text;
        if (news.polling != polling_) {
            text += news.polling
                        ? "polling: no change notifications for this file; looking at it every "
                          "second\n"
                        : "notifications: back; no longer looking every second\n";
            polling_ = news.polling;
        }
        const bool recordInForce =
            news.outcome == tvd::WatchOutcome::Read || news.outcome == tvd::WatchOutcome::Missing;
        switch (news.outcome) {
            case tvd::WatchOutcome::Read:
                if (!first_ && outcome_ != tvd::WatchOutcome::Read) {
                    text += "read\n";
                }
                break;
            case tvd::WatchOutcome::Missing:
                text += "missing\n";
                break;
            case tvd::WatchOutcome::Unusable:
                text += "unusable: " + unusableLines(news);
                break;
            case tvd::WatchOutcome::Unreadable:
                text += std::string(tvd::describe(news.outcome)) + ": " +
                        tvd::escapedForMessage(news.problem) + "\n";
                break;
        }
        if (recordInForce || first_) {
            Values values = valuesOf(news);
            if (first_ && news.outcome == tvd::WatchOutcome::Read) {
                for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
                    text += std::string(key.name) + ": " + values[key.name] + "\n";
                }
            } else if (!first_) {
                for (const std::string& key : news.changedKeys) {
                    text += key + ": " + shown_[key] + " -> " + values[key] + "\n";
                }
            }
            shown_ = std::move(values);
        }
        first_ = false;
        outcome_ = news.outcome;
        out(text);  // one write: the lines of one change arrive together
    }

private:
    // The first problem as check shows it: its place, and its hint where there is one.
    std::string unusableLines(const tvd::ConfigNews& news) const {
        const tvd::ConfigCheck check = tvd::checkConfigText(news.text);
        const auto fatal =
            std::find_if(check.findings.begin(), check.findings.end(),
                         [](const tvd::ConfigFinding& finding) { return finding.fatal(); });
        if (fatal == check.findings.end()) {
            return tvd::escapedForMessage(news.problem) + "\n";
        }
        return findingLines(file_, *fatal);
    }

    const File& file_;
    bool first_ = true;
    bool polling_ = false;
    tvd::WatchOutcome outcome_ = tvd::WatchOutcome::Read;
    Values shown_;  // the values of the record in force, as last printed
};

}  // namespace

int runWatch(const File& file) {
    platform::catchInterrupts();  // before any thread is started
    out("watching " + tvd::escapedForMessage(file.name) + "\n");
    tvd::ConfigWatcher watcher(file.path);
    std::atomic<bool> ending{false};
    std::thread printer([&watcher, &ending, &file] {
        try {
            WatchPrinter lines(file);
            for (;;) {
                watcher.waitForNews(std::chrono::hours(1));
                if (const std::optional<tvd::ConfigNews> news = watcher.takeNews()) {
                    lines.print(*news);
                } else if (ending.load()) {
                    return;
                }
            }
        } catch (const std::exception& error) {
            platform::writeStandard(platform::StandardStream::Error,
                                    std::string("tarvik-config: ") + error.what() + "\n");
        }
    });
    platform::waitForInterrupt();
    ending.store(true);
    watcher.stop();  // also ends the printer's wait
    printer.join();
    return 0;
}

}  // namespace tarvik::tools
