// The checker: the load's verdict on a text, with the place of a syntax error, and every key
// judged by the table and acceptance rule that from_json uses.
#include <tarvik/config/ConfigCheck.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <map>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigKeys.h>

namespace tarvik::driver {
namespace {

using json = nlohmann::json;

// Longest piece of a string value or a parser token quoted in a message.
constexpr std::size_t kQuotedBytes = 40;

bool isContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

// At most `limit` bytes of `text` from its start (`fromEnd` false) or its end, never cutting a
// UTF-8 sequence, with "..." where something was cut.
std::string shortened(std::string_view text, std::size_t limit, bool fromEnd) {
    if (text.size() <= limit) {
        return std::string(text);
    }
    if (fromEnd) {
        std::size_t start = text.size() - limit;
        while (start < text.size() && isContinuationByte(text[start])) {
            ++start;
        }
        return "..." + std::string(text.substr(start));
    }
    std::size_t end = limit;
    while (end > 0 && isContinuationByte(text[end])) {
        --end;
    }
    return std::string(text.substr(0, end)) + "...";
}

// A JSON string literal for (the start of) `text`; bytes that are not UTF-8 become U+FFFD.
std::string quoted(const std::string& text) {
    const bool cut = text.size() > kQuotedBytes;
    std::string head = cut ? shortened(text, kQuotedBytes, false) : text;
    if (cut) {
        head.resize(head.size() - 3);  // the "..." goes outside the quotes
    }
    return json(head).dump(-1, ' ', false, json::error_handler_t::replace) + (cut ? "..." : "");
}

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
            return "a string " + quoted(value.get_ref<const std::string&>());
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

// Keeps the first kMaxReportedFindings findings and counts the rest.
class Collector {
public:
    explicit Collector(ConfigCheck& check) : check_(check) {}

    bool room() const { return check_.findings.size() < kMaxReportedFindings; }

    void add(ConfigFinding finding) {
        if (room()) {
            check_.findings.push_back(std::move(finding));
        } else {
            ++check_.unreported;
        }
    }

private:
    ConfigCheck& check_;
};

// --- Where things are in the text ------------------------------------------------------------

struct Position {
    std::size_t line = 0;
    std::size_t column = 0;
};

// Line and column (1-based; columns in characters) of bytes of the text, asked for in
// ascending order of offset, so that a whole check reads the text once.
class PositionFinder {
public:
    explicit PositionFinder(std::string_view text) : text_(text) {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
            at_ = 3;  // a byte-order mark is no character of the line
        }
    }

    Position at(std::size_t offset) {
        offset = std::min(offset, text_.size());
        for (; at_ < offset; ++at_) {
            if (text_[at_] == '\n') {
                ++position_.line;
                position_.column = 1;
            } else if (!isContinuationByte(text_[at_])) {
                ++position_.column;
            }
        }
        return position_;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
    Position position_{1, 1};
};

// A character iterator over the text that tells how far the parser has read.
class TrackingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    TrackingIterator(const char* at, const char** reached) : at_(at), reached_(reached) {}
    reference operator*() const { return *at_; }
    TrackingIterator& operator++() {
        *reached_ = ++at_;
        return *this;
    }
    bool operator==(const TrackingIterator& other) const { return at_ == other.at_; }
    bool operator!=(const TrackingIterator& other) const { return at_ != other.at_; }

private:
    const char* at_;
    const char** reached_;
};

// A SAX pass over a text that parsed, which records where the wanted keys of the top-level
// object and of its member objects begin. It builds no document, so nesting
// costs nothing but a counter.
class Locator {
public:
    Locator(std::string_view text, const std::set<std::string>& wanted)
        : text_(text), wanted_(wanted) {}

    void run() {
        reached_ = text_.data();
        const TrackingIterator first(text_.data(), &reached_);
        const TrackingIterator last(text_.data() + text_.size(), &reached_);
        json::sax_parse(first, last, this, json::input_format_t::json, /*strict=*/true,
                        /*ignore_comments=*/false);
    }

    const std::map<std::string, std::size_t>& keys() const { return keys_; }

    // The SAX interface.
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(json::number_integer_t) { return true; }
    bool number_unsigned(json::number_unsigned_t) { return true; }
    bool number_float(json::number_float_t, const json::string_t&) { return true; }
    bool string(json::string_t&) { return true; }
    bool binary(json::binary_t&) { return true; }
    bool start_object(std::size_t) {
        ++depth_;
        return true;
    }
    bool end_object() {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) {
        ++depth_;
        return true;
    }
    bool end_array() {
        --depth_;
        return true;
    }
    // cppcheck-suppress constParameter ; the parser's interface passes a mutable reference
    bool key(json::string_t& name) {
        if (depth_ == 1) {
            topKey_ = name;
            record(name);
        } else if (depth_ == 2 && !wanted_.empty()) {
            record(topKey_ + "." + name);
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;  // only run over texts that parsed
    }

private:
    // The parser has just read the closing quote of a key: walk back to its opening quote,
    // the first quote not escaped by an odd number of backslashes.
    void record(const std::string& name) {
        if (wanted_.count(name) == 0) {
            return;
        }
        std::size_t end = static_cast<std::size_t>(reached_ - text_.data());
        std::size_t at = end >= 2 ? end - 2 : 0;
        while (at > 0) {
            if (text_[at] == '"') {
                std::size_t backslashes = 0;
                while (backslashes < at && text_[at - 1 - backslashes] == '\\') {
                    ++backslashes;
                }
                if (backslashes % 2 == 0) {
                    break;
                }
            }
            --at;
        }
        keys_[name] = at;  // a repeated key: the last one counts, as in the document
    }

    std::string_view text_;
    const std::set<std::string>& wanted_;
    const char* reached_ = nullptr;
    std::size_t depth_ = 0;
    std::string topKey_;
    std::map<std::string, std::size_t> keys_;
};

// The load's parse (the JSON library's own document builder, with exceptions off), which also
// keeps the place and text of the first error, so that an unusable text is parsed only once.
class RecordingParser : public nlohmann::detail::json_sax_dom_parser<json> {
public:
    explicit RecordingParser(json& result)
        : json_sax_dom_parser(result, /*allow_exceptions=*/false) {}

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

private:
    bool failed_ = false;
    std::size_t offset_ = 0;
    std::string text_;
};

// The parser's message without its id and position, with the token it last read shortened:
// "syntax error while parsing object key - unexpected '}'; expected string literal".
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
                     shortened(std::string_view(text).substr(start, end - start), kQuotedBytes,
                               /*fromEnd=*/true));
    }
    return text;
}

// The default value of `key` as a save writes it.
std::string defaultText(const json& defaults, const ConfigKey& key) {
    const json& value =
        key.section[0] == '\0' ? defaults.at(key.key) : defaults.at(key.section).at(key.key);
    return value.dump();
}

std::string unknownKeyMessage(const std::string& name, const std::string& suggestion) {
    std::string message = name + ": unknown key, ignored (a save drops it)";
    if (!suggestion.empty()) {
        message += "; did you mean " + suggestion + "?";
    }
    return message;
}

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

// Optimal string alignment distance (insertions, deletions, substitutions, swaps of
// neighbours), or 3 when it is more than 2.
std::size_t closeDistance(const std::string& a, const std::string& b) {
    constexpr std::size_t kFar = 3;
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) >= kFar) {
        return kFar;
    }
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return std::min(d[a.size()][b.size()], kFar);
}

std::string_view lastPart(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

}  // namespace

std::string suggestConfigKey(std::string_view name) {
    constexpr std::size_t kLongestName = 64;  // no key comes near; bounds the work
    if (name.size() > kLongestName) {
        return {};
    }
    const std::string wanted = lowered(name);
    const std::string wantedLast = lowered(lastPart(name));
    std::string best;
    std::size_t bestScore = 4;  // 0: case only, 1-2: letters off, 3: same last part elsewhere
    const auto consider = [&](const char* candidate, bool isKey) {
        if (name == candidate) {
            return;
        }
        const std::string lower = lowered(candidate);
        std::size_t score = closeDistance(wanted, lower);
        if (score == 3 && !(isKey && wantedLast == lowered(lastPart(candidate)))) {
            score = 4;
        }
        if (score < bestScore) {
            bestScore = score;
            best = candidate;
        }
    };
    for (const ConfigKey& key : kConfigKeys) {
        consider(key.name, true);
    }
    for (const char* section : kConfigSections) {
        consider(section, false);
    }
    return best;
}

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
        ConfigFinding finding;
        std::size_t offset = 0;
        if (parser.failed()) {
            finding.kind = ConfigFinding::Kind::Syntax;
            offset = parser.offset();
            finding.message = syntaxMessage(parser.text());
        } else {
            finding.kind = ConfigFinding::Kind::NotAnObject;
            offset = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
            while (offset < text.size() && (text[offset] == ' ' || text[offset] == '\t' ||
                                            text[offset] == '\n' || text[offset] == '\r')) {
                ++offset;
            }
            finding.message =
                std::string("the document is ") + describeKind(document) + ", not a JSON object";
        }
        const Position position = PositionFinder(text).at(offset);
        finding.line = position.line;
        finding.column = position.column;
        collect.add(std::move(finding));
        return check;
    }

    const json defaults = Config{};
    const auto judge = [&](const ConfigKey& key, const json& value) {
        if (acceptValue(key, value) != Acceptance::Skipped) {
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
        collect.add(std::move(finding));
    };
    const auto unknown = [&](std::string name) {
        if (!collect.room()) {
            collect.add({});
            return;
        }
        ConfigFinding finding;
        finding.kind = ConfigFinding::Kind::UnknownKey;
        finding.suggestion = suggestConfigKey(name);
        finding.message = unknownKeyMessage(name, finding.suggestion);
        finding.key = std::move(name);
        collect.add(std::move(finding));
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
                collect.add(std::move(finding));
                continue;
            }
            for (auto inner = value.begin(); inner != value.end(); ++inner) {
                const std::string dotted = name + "." + inner.key();
                const ConfigKey* key = findConfigKey(dotted);
                if (key != nullptr) {
                    judge(*key, inner.value());
                } else {
                    unknown(dotted);
                }
            }
            continue;
        }
        const ConfigKey* key = findConfigKey(name);
        if (key != nullptr && key->section[0] == '\0') {
            judge(*key, value);
        } else {
            unknown(name);
        }
    }

    if (!check.findings.empty()) {
        std::set<std::string> wanted;
        for (const ConfigFinding& finding : check.findings) {
            wanted.insert(finding.key);
        }
        Locator locator(text, wanted);
        locator.run();
        std::vector<std::pair<std::size_t, ConfigFinding*>> located;
        for (ConfigFinding& finding : check.findings) {
            const auto found = locator.keys().find(finding.key);
            if (found != locator.keys().end()) {
                located.emplace_back(found->second, &finding);
            }
        }
        std::sort(located.begin(), located.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        PositionFinder finder(text);
        for (const auto& [offset, finding] : located) {
            const Position position = finder.at(offset);
            finding->line = position.line;
            finding->column = position.column;
        }
        // In the order of the text, as an editor lists them; findings without a place last.
        std::stable_sort(check.findings.begin(), check.findings.end(),
                         [](const ConfigFinding& a, const ConfigFinding& b) {
                             const auto place = [](const ConfigFinding& f) {
                                 return f.line == 0
                                            ? std::make_pair(~std::size_t{0}, std::size_t{0})
                                            : std::make_pair(f.line, f.column);
                             };
                             return place(a) < place(b);
                         });
    }
    return check;
}

}  // namespace tarvik::driver
