// The C interface (capi/include/tarvik/tvc.h) over the C++ library: argument checks, the merge
// patch, and the JSON texts handed out. Every entry point catches everything: a C caller (and
// the ctypes or P/Invoke runtime behind it) cannot unwind a C++ exception.
#include <tarvik/tvc.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigFile.h>
#include <tarvik/config/ConfigKeys.h>
#include <tarvik/config/ConfigWatcher.h>
#include <nlohmann/json.hpp>

namespace tvd = tarvik::driver;
using json = nlohmann::json;

struct tvc_watcher {
    explicit tvc_watcher(const std::filesystem::path& path) : watcher(path) {}
    tvd::ConfigWatcher watcher;
};

namespace {

static_assert(TVC_VERSION_MAJOR == TVC_PROJECT_VERSION_MAJOR &&
                  TVC_VERSION_MINOR == TVC_PROJECT_VERSION_MINOR &&
                  TVC_VERSION_PATCH == TVC_PROJECT_VERSION_PATCH,
              "tvc.h's version macros must match the project's version (CHANGELOG.md)");

// A refusal or failure on its way to the caller: a status and its message.
struct Failure {
    int status;
    std::string message;
};

// A copy the caller frees with tvc_free(); nullptr when memory ran out.
char* copyOut(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

void setOut(char** out, char* value) {
    if (out != nullptr) {
        *out = value;
    } else {
        std::free(value);
    }
}

void clearOut(char** out) {
    if (out != nullptr) {
        *out = nullptr;
    }
}

// Hands the texts out only when every copy could be made, so that TVC_OK never comes with a
// NULL text the caller asked for.
int succeed(std::initializer_list<std::pair<char**, const std::string*>> texts) {
    std::vector<std::pair<char**, char*>> copies;
    copies.reserve(texts.size());
    for (const auto& [out, text] : texts) {
        if (out == nullptr) {
            continue;
        }
        char* copy = copyOut(*text);
        if (copy == nullptr) {
            for (auto& made : copies) {
                std::free(made.second);
            }
            return TVC_E_MEMORY;
        }
        copies.emplace_back(out, copy);
    }
    for (auto& [out, copy] : copies) {
        *out = copy;
    }
    return TVC_OK;
}

int fail(char** message, const Failure& failure) {
    setOut(message, copyOut(failure.message));
    return failure.status;
}

// Runs one entry point's body: turns whatever it throws into a status and a message.
template <typename Body>
int guarded(char** message, Body&& body) noexcept {
    try {
        try {
            return body();
        } catch (const Failure& failure) {
            return fail(message, failure);
        } catch (const std::bad_alloc&) {
            return fail(message, {TVC_E_MEMORY, "out of memory"});
        } catch (const std::exception& error) {
            return fail(message, {TVC_E_INTERNAL,
                                  "unexpected failure: " + tvd::escapedForMessage(error.what())});
        } catch (...) {
            return fail(message, {TVC_E_INTERNAL, "unexpected failure"});
        }
    } catch (...) {  // memory ran out while composing the message
        clearOut(message);
        return TVC_E_MEMORY;
    }
}

std::string shownPath(const char* path) {
    return tvd::quotedForMessage(path);
}

// A UTF-8 path as the library takes it, or a Failure.
std::filesystem::path pathArgument(const char* path) {
    if (path == nullptr) {
        throw Failure{TVC_E_ARGUMENT, "path is NULL"};
    }
    if (path[0] == '\0') {
        throw Failure{TVC_E_ARGUMENT, "path is empty"};
    }
    std::wstring wide;
    if (!tvd::utf8ToWide(path, wide)) {
        throw Failure{TVC_E_ARGUMENT, "path " + shownPath(path) + " is not valid UTF-8"};
    }
#ifdef _WIN32
    return std::filesystem::path(wide);
#else
    return std::filesystem::path(path);
#endif
}

json& memberFor(json& document, const tvd::ConfigKey& key) {
    return key.section[0] == '\0' ? document[key.key] : document[key.section][key.key];
}

// Settings as handed out: every key, float settings in their shortest form (0.7, not the
// widened 0.699999988079071), which read back as the same float.
std::string settingsText(const tvd::Config& config) {
    json document = config;
    for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
        json& member = memberFor(document, key);
        if (key.type == tvd::ValueType::Float && member.is_number()) {
            member = json::parse(tvd::floatText(member.get<float>()), nullptr, false);
        }
    }
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A patch is small (a setting is two levels down): refused before it is parsed when it is
// larger or deeper than any patch of settings can be, so that hostile text costs no more than
// one pass over it.
constexpr std::size_t kMaxPatchBytes = 1 << 20;
constexpr int kMaxPatchDepth = 64;

std::optional<std::string> patchShapeFault(std::string_view text) {
    if (text.size() > kMaxPatchBytes) {
        return "the patch is " + std::to_string(text.size()) + " bytes long; at most " +
               std::to_string(kMaxPatchBytes) + " are taken";
    }
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > kMaxPatchDepth) {
                return "the patch is nested more than " + std::to_string(kMaxPatchDepth) +
                       " levels deep";
            }
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return std::nullopt;
}

// One setting the patch changes: the key and its new document value (null: the default).
struct Change {
    const tvd::ConfigKey* key;
    json value;
};

std::string typeOf(const json& value) {
    std::string text = value.type_name();
    if (value.is_number_float()) {
        text = "a number with a fraction";
    } else if (value.is_number()) {
        text = "an integer";
    } else if (value.is_object() || value.is_array()) {
        text = std::string("an ") + value.type_name();
    } else if (value.is_string()) {
        text = "a string";
    } else if (value.is_boolean()) {
        text = "a boolean";
    }
    return text;
}

std::string unknownKey(const std::string& name) {
    std::string text = "unknown key " + tvd::quotedForMessage(name);
    const std::string suggestion = tvd::suggestConfigKey(name);
    if (!suggestion.empty()) {
        text += "; did you mean " + suggestion + "?";
    }
    return text;
}

// A value from the patch as a message shows it: a string quoted, anything else as JSON, cut short.
std::string shownValue(const json& value) {
    if (value.is_string()) {
        return tvd::quotedForMessage(value.get_ref<const std::string&>());
    }
    std::string text =
        tvd::escapedForMessage(value.dump(-1, ' ', false, json::error_handler_t::replace));
    if (text.size() > tvd::kQuotedLength) {
        text = text.substr(0, tvd::kQuotedLength) + "...";
    }
    return text;
}

Change changeFor(const tvd::ConfigKey& key, const json& value) {
    if (!value.is_null() && tvd::acceptValue(key, value) != tvd::Acceptance::Applied) {
        throw Failure{TVC_E_VALUE, std::string(key.name) + ": takes " +
                                       tvd::describeAccepted(key.type) +
                                       " (or null for its default); found " + typeOf(value) + " " +
                                       shownValue(value)};
    }
    return Change{&key, value};
}

// The patch's changes, judged whole: the first fault refuses it all.
std::vector<Change> changesOf(const char* patchText) {
    if (patchText == nullptr) {
        throw Failure{TVC_E_ARGUMENT, "patch is NULL"};
    }
    const std::string_view text(patchText);
    if (const std::optional<std::string> fault = patchShapeFault(text)) {
        throw Failure{TVC_E_PATCH, *fault};
    }
    json patch;
    try {
        patch = json::parse(text);
    } catch (const json::parse_error& error) {
        throw Failure{TVC_E_PATCH,
                      "the patch is not JSON: " + tvd::escapedForMessage(error.what())};
    }
    if (!patch.is_object()) {
        throw Failure{TVC_E_PATCH,
                      "the patch must be a JSON object such as "
                      "{\"detection\": {\"sensitivity\": 0.5}}; found " +
                          typeOf(patch)};
    }
    std::vector<Change> changes;
    for (const auto& [name, value] : patch.items()) {
        if (tvd::isConfigSection(name)) {
            if (!value.is_object() && !value.is_null()) {
                throw Failure{TVC_E_VALUE, name +
                                               ": a section takes an object (or null for the "
                                               "defaults of all its keys); found " +
                                               typeOf(value)};
            }
            for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
                if (value.is_null() && name == key.section) {
                    changes.push_back(Change{&key, nullptr});
                }
            }
            if (value.is_object()) {
                for (const auto& [member, memberValue] : value.items()) {
                    const tvd::ConfigKey* key = tvd::findConfigKey(name + "." + member);
                    if (key == nullptr) {
                        throw Failure{TVC_E_KEY, unknownKey(name + "." + member)};
                    }
                    changes.push_back(changeFor(*key, memberValue));
                }
            }
            continue;
        }
        const tvd::ConfigKey* key = tvd::findConfigKey(name);
        if (key != nullptr && key->section[0] != '\0') {
            throw Failure{TVC_E_KEY, tvd::quotedForMessage(name) +
                                         " belongs inside its section: "
                                         "{\"" +
                                         key->section + "\": {\"" + key->key + "\": ...}}"};
        }
        if (key == nullptr) {
            throw Failure{TVC_E_KEY, unknownKey(name)};
        }
        changes.push_back(changeFor(*key, value));
    }
    return changes;
}

int failureStatus(tvd::SaveFailure failure) {
    switch (failure) {
        case tvd::SaveFailure::None:
            return TVC_OK;
        case tvd::SaveFailure::InvalidPath:
            return TVC_E_ARGUMENT;
        case tvd::SaveFailure::Busy:
            return TVC_E_BUSY;
        case tvd::SaveFailure::ReadExisting:
        case tvd::SaveFailure::Refused:
        case tvd::SaveFailure::Unusable:
            return TVC_E_UNREADABLE;
        case tvd::SaveFailure::Reentered:
            return TVC_E_INTERNAL;
        case tvd::SaveFailure::Lock:
        case tvd::SaveFailure::CreateDirectory:
        case tvd::SaveFailure::OpenTemp:
        case tvd::SaveFailure::WriteTemp:
        case tvd::SaveFailure::Swap:
        case tvd::SaveFailure::SyncDirectory:
            return TVC_E_SAVE;
    }
    return TVC_E_INTERNAL;
}

// Thrown from an update's change to leave a missing file missing: nothing is written.
struct NothingToWrite {};

// What a read of the settings found: the record (the defaults unless the file was read), the
// outcome's name, and the failure when there is one.
struct Found {
    tvd::Config config;
    const char* outcome = "read";
    std::optional<Failure> failure;
};

// Reads the settings as an update would find them, under the saves' lock, and writes and moves
// nothing: a tray that reads while a person is halfway through an edit must not move the file
// aside as the driver's start-up load does.
Found readSettings(const std::filesystem::path& path, const char* pathText) {
    Found found;
    // The update's lock would create a missing directory; a read leaves the disk alone.
    std::error_code error;
    const std::filesystem::path directory = path.parent_path();
    if (!directory.empty() && !std::filesystem::exists(directory, error) && !error) {
        found.outcome = "missing";
        return found;
    }
    bool usable = false;
    std::string problem;
    try {
        const tvd::SaveOutcome outcome = tvd::updateConfigJsonOutcome(
            path, found.config,
            [&](std::string_view documentText) {
                const tvd::ConfigCheck check = tvd::checkConfigText(documentText);
                usable = check.usable;
                if (usable) {
                    tvd::from_json(json::parse(documentText, nullptr, false), found.config);
                } else if (!check.findings.empty()) {
                    problem = check.findings.front().message;
                }
                return false;  // judged: nothing to write
            },
            [](tvd::Config&) { throw NothingToWrite{}; });
        if (outcome.failure == tvd::SaveFailure::Refused && usable) {
            return found;
        }
        found.config = tvd::Config{};
        if (outcome.failure == tvd::SaveFailure::Refused) {
            found.outcome = "unusable";
            found.failure = Failure{TVC_E_UNREADABLE, shownPath(pathText) +
                                                          " is not a usable document, so it was "
                                                          "left as it is (" +
                                                          problem + ")"};
            return found;
        }
        found.outcome = outcome.failure == tvd::SaveFailure::Busy ? "busy"
                        : outcome.failure == tvd::SaveFailure::ReadExisting &&
                                outcome.load == tvd::LoadOutcome::Locked
                            ? "locked"
                            : "unreadable";
        found.failure =
            Failure{failureStatus(outcome.failure), tvd::escapedForMessage(outcome.message(path))};
    } catch (const NothingToWrite&) {
        found.config = tvd::Config{};
        found.outcome = "missing";
    }
    return found;
}

int loadInto(const char* pathText, char** settings, char** outcome, char** message) {
    const Found found = readSettings(pathArgument(pathText), pathText);
    const std::string text = settingsText(found.config);
    const std::string name = found.outcome;
    if (found.failure) {
        const std::string why = found.failure->message + "; the settings are the defaults";
        if (succeed({{settings, &text}, {outcome, &name}, {message, &why}}) != TVC_OK) {
            return TVC_E_MEMORY;
        }
        return found.failure->status;
    }
    return succeed({{settings, &text}, {outcome, &name}});
}

int update(const char* pathText, const char* patchText, char** settings) {
    const std::filesystem::path path = pathArgument(pathText);
    const std::vector<Change> changes = changesOf(patchText);
    if (changes.empty()) {
        const Found found = readSettings(path, pathText);
        if (found.failure) {
            throw *found.failure;
        }
        const std::string text = settingsText(found.config);
        return succeed({{settings, &text}});
    }
    const json defaults = tvd::Config{};
    std::string problem;
    tvd::Config config;
    const tvd::SaveOutcome outcome = tvd::updateConfigJsonOutcome(
        path, config,
        [&problem](std::string_view documentText) {
            const tvd::ConfigCheck check = tvd::checkConfigText(documentText);
            if (!check.usable && !check.findings.empty()) {
                const tvd::ConfigFinding& finding = check.findings.front();
                problem = "line " + std::to_string(finding.line) + ", column " +
                          std::to_string(finding.column) + ": " + finding.message;
            }
            return check.usable;
        },
        [&changes, &defaults](tvd::Config& current) {
            json document = current;
            json defaultsCopy = defaults;
            for (const Change& change : changes) {
                memberFor(document, *change.key) =
                    change.value.is_null() ? memberFor(defaultsCopy, *change.key) : change.value;
            }
            tvd::Config changed;
            tvd::from_json(document, changed);
            current = std::move(changed);
        });
    if (outcome.failure == tvd::SaveFailure::Refused) {
        throw Failure{TVC_E_UNREADABLE, shownPath(pathText) +
                                            " is not a usable document, so it was left as it "
                                            "is (" +
                                            problem + ")"};
    }
    if (!outcome.ok()) {
        throw Failure{failureStatus(outcome.failure),
                      tvd::escapedForMessage(outcome.message(path))};
    }
    const std::string text = settingsText(config);
    return succeed({{settings, &text}});
}

const char* kindName(tvd::ConfigFinding::Kind kind) {
    switch (kind) {
        case tvd::ConfigFinding::Kind::Syntax:
            return "syntax";
        case tvd::ConfigFinding::Kind::NotAnObject:
            return "not-an-object";
        case tvd::ConfigFinding::Kind::SkippedValue:
            return "skipped-value";
        case tvd::ConfigFinding::Kind::UnknownKey:
            return "unknown-key";
        case tvd::ConfigFinding::Kind::SectionNotObject:
            return "section-not-object";
        case tvd::ConfigFinding::Kind::RepeatedKey:
            return "repeated-key";
        case tvd::ConfigFinding::Kind::ControlInText:
            return "control-in-text";
        case tvd::ConfigFinding::Kind::Implausible:
            return "implausible";
    }
    return "syntax";
}

std::string findingsText(std::string_view text) {
    const tvd::ConfigCheck check = tvd::checkConfigText(text);
    json findings = json::array();
    for (const tvd::ConfigFinding& finding : check.findings) {
        findings.push_back(
            {{"line", finding.line},
             {"column", finding.column},
             {"severity", finding.fatal()                                         ? "error"
                          : finding.kind == tvd::ConfigFinding::Kind::Implausible ? "note"
                                                                                  : "warning"},
             {"kind", kindName(finding.kind)},
             {"key", tvd::escapedForMessage(finding.key)},
             {"message", finding.message},
             {"hint", finding.hint}});
    }
    return findings.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string newsText(const tvd::ConfigNews& news) {
    const json document = {
        {"outcome", tvd::describe(news.outcome)},
        {"settings", json::parse(settingsText(news.config))},
        {"changed", news.changedKeys},
        {"problem", tvd::escapedForMessage(news.problem)},
        {"initial", news.initial},
        {"polling", news.polling},
        {"sequence", news.sequence},
    };
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

extern "C" {

const char* tvc_version(void) {
    return TVC_PROJECT_VERSION;
}

void tvc_free(char* text) {
    std::free(text);
}

int tvc_load(const char* path, char** settings_json, char** outcome, char** message) {
    clearOut(settings_json);
    clearOut(outcome);
    clearOut(message);
    return guarded(message,
                   [&]() -> int { return loadInto(path, settings_json, outcome, message); });
}

int tvc_update(const char* path, const char* patch_json, char** settings_json, char** message) {
    clearOut(settings_json);
    clearOut(message);
    return guarded(message, [&]() -> int { return update(path, patch_json, settings_json); });
}

int tvc_check(const char* text, size_t length, char** findings_json) {
    clearOut(findings_json);
    return guarded(nullptr, [&]() -> int {
        if (text == nullptr && length > 0) {
            return TVC_E_ARGUMENT;
        }
        const std::string findings =
            findingsText(text == nullptr ? std::string_view() : std::string_view(text, length));
        return succeed({{findings_json, &findings}});
    });
}

int tvc_watch_open(const char* path, tvc_watcher** watcher, char** message) {
    if (watcher != nullptr) {
        *watcher = nullptr;
    }
    clearOut(message);
    return guarded(message, [&]() -> int {
        if (watcher == nullptr) {
            throw Failure{TVC_E_ARGUMENT, "watcher is NULL: there is nowhere to put the watcher"};
        }
        const std::filesystem::path native = pathArgument(path);
        try {
            *watcher = new tvc_watcher(native);
        } catch (const std::system_error& error) {
            throw Failure{TVC_E_INTERNAL, "could not start the watcher's thread: " +
                                              tvd::escapedForMessage(error.what())};
        }
        return TVC_OK;
    });
}

int tvc_watch_wait(tvc_watcher* watcher, int timeout_ms) {
    if (watcher == nullptr || timeout_ms < 0) {
        return -TVC_E_ARGUMENT;
    }
    const int status = guarded(nullptr, [&]() -> int {
        return watcher->watcher.waitForNews(std::chrono::milliseconds(timeout_ms)) ? 1 : 0;
    });
    return status == 0 || status == 1 ? status : -status;
}

int tvc_watch_take(tvc_watcher* watcher, char** news_json) {
    clearOut(news_json);
    return guarded(nullptr, [&]() -> int {
        if (watcher == nullptr) {
            return TVC_E_ARGUMENT;
        }
        const std::optional<tvd::ConfigNews> news = watcher->watcher.takeNews();
        if (!news) {
            return TVC_E_NO_NEWS;
        }
        const std::string text = newsText(*news);
        return succeed({{news_json, &text}});
    });
}

void tvc_watch_close(tvc_watcher* watcher) {
    // The destructor stops and joins the thread; it throws nothing.
    delete watcher;
}

}  // extern "C"
