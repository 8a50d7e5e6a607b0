// The checker's verdict: the load's own parse of a text, one finding for an unusable text (where
// the parser stopped, with a hint), and in a usable one every key judged by the table and the
// acceptance rule that from_json uses, and keys written twice.
#include <tarvik/config/ConfigCheck.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigKeys.h>
#include "config/check/EditingHints.h"
#include "config/check/KeyPositions.h"
#include "config/check/TakenValues.h"
#include "config/check/TerminalText.h"

namespace tarvik::driver {
namespace {

using json = nlohmann::json;
using check::dottedTopLevelHint;
using check::isJsonSpace;
using check::KeyPath;
using check::Locator;
using check::placesOf;
using check::Position;
using check::Repeat;
using check::syntaxHint;
using check::tail;

// Longest piece of a parser token shown in a message, in bytes of the text.
constexpr std::size_t kTokenBytes = 40;

// What was found, in words; never copies or prints a whole array or object.
std::string describeFound(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return value.get<bool>() ? "true" : "false";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
            return "the integer " + value.dump();
        case json::value_t::number_float:
            return "the number " + value.dump();
        case json::value_t::string:
            return "a string " + quotedForMessage(value.get_ref<const std::string&>());
        case json::value_t::array:
            return "an array";
        case json::value_t::object:
            return "an object";
        default:
            return "a value of another kind";
    }
}

const char* describeKind(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "a boolean";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float:
            return "a number";
        case json::value_t::string:
            return "a string";
        case json::value_t::array:
            return "an array";
        default:
            return "not an object";
    }
}

std::string dottedName(const KeyPath& path) {
    return path.first.empty() ? path.second : path.first + "." + path.second;
}

// The key as messages name it: a key of the table, or a section, as the table spells it; any
// other name comes from the file and is quoted.
std::string displayName(const KeyPath& path) {
    std::string dotted = dottedName(path);
    const ConfigKey* key = findConfigKey(dotted);
    if ((key != nullptr && path.first == key->section) ||
        (path.first.empty() && isConfigSection(path.second))) {
        return dotted;
    }
    return quotedForMessage(dotted);
}

// Keeps the first kMaxReportedFindings findings, with the place of the key of each, and
// counts the rest.
class Collector {
public:
    explicit Collector(ConfigCheck& check) : check_(check) {}

    bool room() const { return check_.findings.size() < kMaxReportedFindings; }

    void add(ConfigFinding finding, KeyPath path = {}) {
        if (room()) {
            check_.findings.push_back(std::move(finding));
            paths_.push_back(std::move(path));
        } else {
            ++check_.unreported;
        }
    }

    // The key of each kept finding, in the order of check.findings (until they are sorted).
    const std::vector<KeyPath>& paths() const { return paths_; }

private:
    ConfigCheck& check_;
    std::vector<KeyPath> paths_;
};

// The load's parse (the JSON library's own document builder, with exceptions off), which also
// keeps the place and text of the first error, so that an unusable text is parsed only once,
// and counts the keys of the top-level object and of the objects in it: more keys than the
// document holds means that a key was written twice.
class RecordingParser : public nlohmann::detail::json_sax_dom_parser<json> {
public:
    explicit RecordingParser(json& result)
        : json_sax_dom_parser(result, /*allow_exceptions=*/false) {}

    bool start_object(std::size_t elements) {
        ++depth_;
        return json_sax_dom_parser::start_object(elements);
    }
    bool end_object() {
        --depth_;
        return json_sax_dom_parser::end_object();
    }
    bool start_array(std::size_t elements) {
        ++depth_;
        return json_sax_dom_parser::start_array(elements);
    }
    bool end_array() {
        --depth_;
        return json_sax_dom_parser::end_array();
    }
    bool key(json::string_t& name) {
        if (depth_ == 1) {
            ++topKeys_;
        } else if (depth_ == 2) {
            ++memberKeys_;
        }
        return json_sax_dom_parser::key(name);
    }

    bool parse_error(std::size_t position, const std::string& token,
                     const nlohmann::detail::exception& error) {
        if (!failed_) {
            failed_ = true;
            // `position` counts the characters read, the offending one included.
            offset_ = position == 0 ? 0 : position - 1;
            text_ = error.what();
        }
        return json_sax_dom_parser::parse_error(position, token, error);
    }

    bool failed() const { return failed_; }
    std::size_t offset() const { return offset_; }
    const std::string& text() const { return text_; }

    // Whether the object `document` that this parse built lost a key written twice: at its top
    // level or inside one of its member objects.
    bool lostRepeatedKeys(const json& document) const {
        const std::size_t memberKeys =
            std::accumulate(document.begin(), document.end(), std::size_t{0},
                            [](std::size_t sum, const json& member) {
                                return member.is_object() ? sum + member.size() : sum;
                            });
        return topKeys_ != document.size() || memberKeys_ != memberKeys;
    }

private:
    bool failed_ = false;
    std::size_t offset_ = 0;
    std::string text_;
    std::size_t depth_ = 0;
    std::size_t topKeys_ = 0;
    std::size_t memberKeys_ = 0;
};

// The parser's message without its id and position, with the token it last read shortened
// and escaped: "syntax error while parsing object key - unexpected '}'; expected string
// literal".
std::string syntaxMessage(const std::string& what) {
    std::string text = what;
    if (text.rfind("[json.exception.", 0) == 0) {
        const auto end = text.find("] ");
        if (end != std::string::npos) {
            text.erase(0, end + 2);
        }
    }
    if (text.rfind("parse error", 0) == 0) {
        const auto column = text.find("column ");
        const auto colon = text.find(": ", column == std::string::npos ? 0 : column);
        if (colon != std::string::npos) {
            text.erase(0, colon + 2);
        }
    }
    const std::string lastRead = "; last read: '";
    const auto token = text.find(lastRead);
    if (token != std::string::npos) {
        const std::size_t start = token + lastRead.size();
        std::size_t end = text.rfind("'; expected ");
        if (end == std::string::npos || end < start) {
            end = text.size() > start && text.back() == '\'' ? text.size() - 1 : text.size();
        }
        text.replace(start, end - start,
                     tail(std::string_view(text).substr(start, end - start), kTokenBytes));
    }
    return escapedForMessage(text);
}

// The default value of `key` as a save writes it, a float as people write it (0.7).
std::string defaultText(const json& defaults, const ConfigKey& key) {
    const json& value =
        key.section[0] == '\0' ? defaults.at(key.key) : defaults.at(key.section).at(key.key);
    if (key.type == ValueType::Float) {
        return floatText(value.get<float>());
    }
    return value.dump();
}

std::string unknownKeyMessage(const KeyPath& path, const std::string& suggestion) {
    std::string message =
        displayName(path) + ": unknown key, ignored by the driver (an update keeps it)";
    if (!suggestion.empty()) {
        message += "; did you mean " + suggestion + "?";
    }
    return message;
}

std::string repeatMessage(const KeyPath& path, std::size_t earlier, Position first) {
    std::string message = displayName(path) + ": written " + std::to_string(earlier + 1) +
                          " times in one object; the driver uses only this last one and ignores ";
    message += earlier == 1 ? std::string("the one at ")
                            : "the " + std::to_string(earlier) + " before it, the first at ";
    return message + std::to_string(first.line) + ":" + std::to_string(first.column);
}

// The one finding of an unusable text: where the parser stopped and why, or what the text is
// instead of an object.
ConfigFinding unusableFinding(std::string_view text, const json& document,
                              const RecordingParser& parser) {
    ConfigFinding finding;
    std::size_t offset = 0;
    std::optional<std::size_t> hintOffset;
    if (parser.failed()) {
        finding.kind = ConfigFinding::Kind::Syntax;
        offset = parser.offset();
        finding.message = syntaxMessage(parser.text());
        finding.hint = syntaxHint(text, offset, parser.text(), hintOffset);
    } else {
        finding.kind = ConfigFinding::Kind::NotAnObject;
        offset = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
        while (offset < text.size() && isJsonSpace(text[offset])) {
            ++offset;
        }
        finding.message =
            std::string("the document is ") + describeKind(document) + ", not a JSON object";
        finding.hint = "a settings document is one object: { \"version\": 1, ... }";
    }
    std::set<std::size_t> offsets{offset};
    if (hintOffset) {
        offsets.insert(*hintOffset);
    }
    const auto places = placesOf(text, offsets);
    finding.line = places.at(offset).line;
    finding.column = places.at(offset).column;
    if (hintOffset) {
        finding.hintLine = places.at(*hintOffset).line;
        finding.hintColumn = places.at(*hintOffset).column;
    }
    return finding;
}

}  // namespace

ConfigCheck checkConfigText(std::string_view text) {
    ConfigCheck check;
    Collector collect(check);

    // The load's own parse: no exceptions, no comments, nothing after the value.
    json document;
    RecordingParser parser(document);
    json::sax_parse(text.data(), text.data() + text.size(), &parser, json::input_format_t::json,
                    /*strict=*/true, /*ignore_comments=*/false);
    if (parser.failed()) {
        document = json(json::value_t::discarded);
    }
    if (!document.is_object()) {
        check.usable = false;
        collect.add(unusableFinding(text, document, parser));
        return check;
    }

    const json defaults = Config{};
    const auto judge = [&](const ConfigKey& key, const json& value, KeyPath path) {
        const Acceptance acceptance = acceptValue(key, value);
        if (acceptance == Acceptance::Applied) {
            if (std::optional<ConfigFinding> note = check::noteOnTakenValue(key, value)) {
                collect.add(std::move(*note), std::move(path));
            }
            return;
        }
        if (acceptance != Acceptance::Skipped) {
            return;
        }
        if (!collect.room()) {
            collect.add({});
            return;
        }
        ConfigFinding finding;
        finding.kind = ConfigFinding::Kind::SkippedValue;
        finding.key = key.name;
        finding.message = std::string(key.name) + ": found " + describeFound(value) +
                          "; expected " + describeAccepted(key.type) +
                          "; the driver keeps its default " + defaultText(defaults, key);
        collect.add(std::move(finding), std::move(path));
    };
    const auto unknown = [&](KeyPath path) {
        if (!collect.room()) {
            collect.add({});
            return;
        }
        ConfigFinding finding;
        finding.kind = ConfigFinding::Kind::UnknownKey;
        finding.key = dottedName(path);
        finding.suggestion = suggestConfigKey(finding.key);
        finding.message = unknownKeyMessage(path, finding.suggestion);
        if (path.first.empty()) {
            finding.hint = dottedTopLevelHint(path.second);
        }
        collect.add(std::move(finding), std::move(path));
    };

    for (auto member = document.begin(); member != document.end(); ++member) {
        const std::string& name = member.key();
        const json& value = member.value();  // a reference: values are never copied
        if (isConfigSection(name)) {
            if (!value.is_object()) {
                ConfigFinding finding;
                finding.kind = ConfigFinding::Kind::SectionNotObject;
                finding.key = name;
                finding.message = name + ": found ";
                finding.message += describeFound(value);
                finding.message += "; expected an object; the driver keeps the defaults of every ";
                finding.message += name + " key";
                collect.add(std::move(finding), {"", name});
                continue;
            }
            for (auto inner = value.begin(); inner != value.end(); ++inner) {
                const ConfigKey* key = findConfigKey(name + "." + inner.key());
                if (key != nullptr) {
                    judge(*key, inner.value(), {name, inner.key()});
                } else {
                    unknown({name, inner.key()});
                }
            }
            continue;
        }
        const ConfigKey* key = findConfigKey(name);
        if (key != nullptr && key->section[0] == '\0') {
            judge(*key, value, {"", name});
        } else {
            unknown({"", name});
        }
    }

    const bool repeated = parser.lostRepeatedKeys(document);
    if (check.findings.empty() && !repeated) {
        return check;
    }
    // A second pass over the text, for the places of the keys: the document keeps none.
    const std::set<KeyPath> wanted(collect.paths().begin(), collect.paths().end());
    Locator locator(text, wanted, repeated);
    locator.run();
    const std::vector<Repeat> repeats = repeated ? locator.repeats() : std::vector<Repeat>();

    std::set<std::size_t> offsets;
    for (const auto& [path, offset] : locator.places()) {
        offsets.insert(offset);
    }
    for (const Repeat& repeat : repeats) {
        offsets.insert(repeat.offsets.front());
        offsets.insert(repeat.offsets.back());
    }
    const auto places = placesOf(text, offsets);

    for (std::size_t i = 0; i < check.findings.size(); ++i) {
        const auto found = locator.places().find(collect.paths()[i]);
        if (found != locator.places().end()) {
            check.findings[i].line = places.at(found->second).line;
            check.findings[i].column = places.at(found->second).column;
        }
    }
    for (const Repeat& repeat : repeats) {
        ConfigFinding finding;
        finding.kind = ConfigFinding::Kind::RepeatedKey;
        finding.key = dottedName(repeat.path);
        const Position first = places.at(repeat.offsets.front());
        const Position last = places.at(repeat.offsets.back());
        finding.line = last.line;
        finding.column = last.column;
        finding.firstLine = first.line;
        finding.firstColumn = first.column;
        finding.message = repeatMessage(repeat.path, repeat.offsets.size() - 1, first);
        finding.hint = "keep one of them: merge what the others say into it";
        collect.add(std::move(finding), repeat.path);
    }

    // In the order of the text, as an editor lists them; findings without a place last.
    std::stable_sort(check.findings.begin(), check.findings.end(),
                     [](const ConfigFinding& a, const ConfigFinding& b) {
                         const auto place = [](const ConfigFinding& f) {
                             return f.line == 0 ? std::make_pair(~std::size_t{0}, std::size_t{0})
                                                : std::make_pair(f.line, f.column);
                         };
                         return place(a) < place(b);
                     });
    return check;
}

}  // namespace tarvik::driver
