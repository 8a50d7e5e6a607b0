// The checker: the load's verdict on a text, with the place of a syntax error and a hint for
// the mistakes people make by hand, every key judged by the table and acceptance rule that
// from_json uses, and keys written twice.
#include <tarvik/config/ConfigCheck.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include <tarvik/config/Config.h>
#include <tarvik/config/ConfigKeys.h>

namespace tarvik::driver {
namespace {

using json = nlohmann::json;

// Longest piece of a parser token shown in a message, in bytes of the text.
constexpr std::size_t kTokenBytes = 40;

bool isContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

// At most `limit` bytes of `text` from its end, never cutting a UTF-8 sequence, with "..."
// where something was cut.
std::string tail(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return std::string(text);
    }
    std::size_t start = text.size() - limit;
    while (start < text.size() && isContinuationByte(text[start])) {
        ++start;
    }
    return "..." + std::string(text.substr(start));
}

// --- Text from the file in messages ----------------------------------------------------------

// The length in bytes of the UTF-8 sequence at the start of `text` (not empty), and its code
// point; 0 when the bytes there are not UTF-8 (a stray continuation byte, an overlong form, a
// surrogate, a value beyond U+10FFFF, a sequence cut short).
std::size_t decodeUtf8(std::string_view text, char32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80U) {
        codePoint = lead;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead >= 0xC2U && lead <= 0xDFU) {
        length = 2;
        value = lead & 0x1FU;
        least = 0x80;
    } else if (lead >= 0xE0U && lead <= 0xEFU) {
        length = 3;
        value = lead & 0x0FU;
        least = 0x800;
    } else if (lead >= 0xF0U && lead <= 0xF4U) {
        length = 4;
        value = lead & 0x07U;
        least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (!isContinuationByte(text[i])) {
            return 0;
        }
        value = (value << 6U) | (static_cast<unsigned char>(text[i]) & 0x3FU);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    codePoint = value;
    return length;
}

// Characters that act on a terminal or change how the text around them reads: the C0 and C1
// controls, DEL, the line and paragraph separators and the bidirectional marks, embeddings,
// overrides and isolates.
bool mustEscape(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string escapeOf(char32_t c) {
    switch (c) {
        case '\b':
            return "\\b";
        case '\t':
            return "\\t";
        case '\n':
            return "\\n";
        case '\f':
            return "\\f";
        case '\r':
            return "\\r";
        default:
            break;
    }
    std::string escape = "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        escape += kHexDigits[(c >> static_cast<unsigned>(shift)) & 0xFU];
    }
    return escape;
}

// Appends `text` escaped to `out`, as quotedForMessage() (`quoting`) or escapedForMessage()
// describe, at most `limit` bytes of it; true when something was left out.
bool appendEscaped(std::string& out, std::string_view text, bool quoting, std::size_t limit) {
    std::size_t written = 0;
    while (!text.empty()) {
        char32_t c = 0;
        const std::size_t length = decodeUtf8(text, c);
        std::string piece;
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(text[0]);
            piece = std::string("\\x") + kHexDigits[byte >> 4U] + kHexDigits[byte & 0xFU];
        } else if (mustEscape(c)) {
            piece = escapeOf(c);
        } else if (quoting && (c == '"' || c == '\\')) {
            piece = std::string("\\") + static_cast<char>(c);
        } else {
            piece = std::string(text.substr(0, length));
        }
        if (written + piece.size() > limit) {
            return true;
        }
        out += piece;
        written += piece.size();
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return false;
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

// Where a key is: its section ("" at the top level) and its name inside that object. A
// top-level key literally named "detection.fftSize" is {"", "detection.fftSize"}, the key
// inside "detection" is {"detection", "fftSize"}: the dotted names are alike, the places not.
using KeyPath = std::pair<std::string, std::string>;

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

// --- Where things are in the text ------------------------------------------------------------

struct Position {
    std::size_t line = 0;
    std::size_t column = 0;
};

// Line and column (1-based; columns in characters) of bytes of the text, asked for in
// ascending order of offset, so that a whole check reads the text once. A line ends at LF, at
// CR LF (one line end) and at a CR alone, as editors count them.
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
            const char byte = text_[at_];
            if (byte == '\n' ||
                (byte == '\r' && (at_ + 1 == text_.size() || text_[at_ + 1] != '\n'))) {
                ++position_.line;
                position_.column = 1;
            } else if (byte != '\r' && !isContinuationByte(byte)) {
                ++position_.column;  // the CR of a CR LF takes no column
            }
        }
        return position_;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
    Position position_{1, 1};
};

// The places of many offsets at once, in any order.
std::map<std::size_t, Position> placesOf(std::string_view text,
                                         const std::set<std::size_t>& offsets) {
    std::map<std::size_t, Position> places;
    PositionFinder finder(text);
    for (const std::size_t offset : offsets) {
        places.emplace(offset, finder.at(offset));
    }
    return places;
}

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

// The occurrences of one repeated key, as offsets of their opening quotes, in text order.
struct Repeat {
    KeyPath path;
    std::vector<std::size_t> offsets;
};

// A SAX pass over a text that parsed, which records where the wanted keys of the top-level
// object and of its member objects begin (the last occurrence, which counts) and, when asked
// to, every key written more than once at the top level or inside the section that counts
// (the last "detection" object, say). It builds no document, so nesting costs nothing but a
// counter.
class Locator {
public:
    Locator(std::string_view text, const std::set<KeyPath>& wanted, bool findRepeats)
        : text_(text), wanted_(wanted), findRepeats_(findRepeats) {}

    void run() {
        reached_ = text_.data();
        const TrackingIterator first(text_.data(), &reached_);
        const TrackingIterator last(text_.data() + text_.size(), &reached_);
        json::sax_parse(first, last, this, json::input_format_t::json, /*strict=*/true,
                        /*ignore_comments=*/false);
    }

    const std::map<KeyPath, std::size_t>& places() const { return places_; }

    // Every repeated key, top-level ones first, each in text order.
    std::vector<Repeat> repeats() const {
        std::vector<Repeat> result;
        const auto collect = [&result](const std::string& section, const Occurrences& names) {
            for (const auto& [name, offsets] : names) {
                if (offsets.size() > 1) {
                    result.push_back({{section, name}, offsets});
                }
            }
        };
        collect("", topNames_);
        for (const auto& [section, names] : sectionNames_) {
            collect(section, names);
        }
        return result;
    }

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
        if (depth_ == 2 && findRepeats_ && isConfigSection(topKey_)) {
            inSection_ = true;
        }
        return true;
    }
    bool end_object() {
        if (depth_ == 2) {
            inSection_ = false;
        }
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
            if (findRepeats_) {
                topNames_[name].push_back(record({"", name}, true));
                if (isConfigSection(name)) {
                    sectionNames_.erase(name);  // a later value of the section replaces it
                }
            } else {
                record({"", name}, false);
            }
        } else if (depth_ == 2 && (!wanted_.empty() || inSection_)) {
            const std::size_t offset = record({topKey_, name}, inSection_);
            if (inSection_) {
                sectionNames_[topKey_][name].push_back(offset);
            }
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;  // only run over texts that parsed
    }

private:
    using Occurrences = std::map<std::string, std::vector<std::size_t>>;

    // The offset of the key the parser has just read (its opening quote), kept in places_ when
    // the key is wanted; found only when wanted or `always`.
    std::size_t record(const KeyPath& path, bool always) {
        const bool wanted = wanted_.count(path) != 0;
        if (!wanted && !always) {
            return 0;
        }
        // The parser has just read the closing quote: walk back to the opening quote, the first
        // quote not escaped by an odd number of backslashes.
        const std::size_t end = static_cast<std::size_t>(reached_ - text_.data());
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
        if (wanted) {
            places_[path] = at;  // a repeated key: the last one counts, as in the document
        }
        return at;
    }

    std::string_view text_;
    const std::set<KeyPath>& wanted_;
    const bool findRepeats_;
    const char* reached_ = nullptr;
    std::size_t depth_ = 0;
    std::string topKey_;
    bool inSection_ = false;
    std::map<KeyPath, std::size_t> places_;
    Occurrences topNames_;
    std::map<std::string, Occurrences> sectionNames_;
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

// --- Hints for an unusable text --------------------------------------------------------------

bool isJsonSpace(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

// The encoding that a text which is not UTF-8 was saved in, from its byte-order mark or its
// NUL bytes: nullptr for none of these, "" for NUL bytes in no pattern of a known encoding.
const char* foreignEncoding(std::string_view text) {
    using namespace std::string_view_literals;
    if (text.substr(0, 4) == "\xFF\xFE\0\0"sv) {
        return "UTF-32 (little-endian)";
    }
    if (text.substr(0, 4) == "\0\0\xFE\xFF"sv) {
        return "UTF-32 (big-endian)";
    }
    if (text.substr(0, 2) == "\xFF\xFE"sv) {
        return "UTF-16 (little-endian)";
    }
    if (text.substr(0, 2) == "\xFE\xFF"sv) {
        return "UTF-16 (big-endian)";
    }
    if (text.find('\0') == std::string_view::npos) {
        return nullptr;
    }
    // Without a mark: ASCII in UTF-16 has a NUL after (little-endian) or before each byte.
    if (text.size() >= 2 && text[0] != '\0' && text[1] == '\0') {
        return "UTF-16 (little-endian)";
    }
    if (text.size() >= 2 && text[0] == '\0' && text[1] != '\0') {
        return "UTF-16 (big-endian)";
    }
    return "";
}

// Advice on the syntax error at `offset` for the mistakes people make by hand; the trailing
// comma's hint names the comma's offset in `hintOffset`.
std::string syntaxHint(std::string_view text, std::size_t offset, const std::string& parserText,
                       std::optional<std::size_t>& hintOffset) {
    if (const char* encoding = foreignEncoding(text)) {
        if (*encoding == '\0') {
            return "the file holds NUL bytes: it is not a text file, or not one saved as UTF-8; "
                   "save it as UTF-8";
        }
        return std::string("the file is saved as ") + encoding +
               ", which JSON readers do not take: save it as UTF-8 (Notepad: Save As, "
               "Encoding: UTF-8)";
    }
    std::size_t first = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    while (first < text.size() && isJsonSpace(text[first])) {
        ++first;
    }
    if (first == text.size()) {
        return "the file is empty (nothing but white space); the smallest settings document is "
               "{}";
    }
    const char at = offset < text.size() ? text[offset] : '\0';
    if (at == '}' || at == ']') {
        std::size_t before = offset;
        while (before > 0 && isJsonSpace(text[before - 1])) {
            --before;
        }
        if (before > 0 && text[before - 1] == ',') {
            hintOffset = before - 1;
            return std::string("remove this comma: JSON allows no comma after the last ") +
                   (at == '}' ? "member of an object" : "element of an array");
        }
    }
    if (at == '/' && offset + 1 < text.size() &&
        (text[offset + 1] == '/' || text[offset + 1] == '*')) {
        return "comments (// and /* */) are not JSON: remove the comment";
    }
    if (at == '\'') {
        return "single quotes are not JSON: write keys and strings in double quotes "
               "(\"fftSize\")";
    }
    if (parserText.find("after backslash") != std::string::npos ||
        parserText.find("'\\u' must be followed by") != std::string::npos) {
        return "in JSON a backslash starts an escape: write each \\ of a Windows path as \\\\ "
               "or as / (\"C:\\\\Users\\\\...\" or \"C:/Users/...\")";
    }
    return {};
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

// A top-level key spelt like a key of a section ("detection.fftSize"): the dot is part of its
// name, not a path into the section.
std::string dottedTopLevelHint(const std::string& name) {
    const ConfigKey* key = findConfigKey(name);
    if (key == nullptr || key->section[0] == '\0') {
        return {};
    }
    return std::string("a dot does not lead into a section: write \"") + key->key +
           "\" inside the \"" + key->section + "\" object instead";
}

std::string repeatMessage(const KeyPath& path, std::size_t earlier, Position first) {
    std::string message = displayName(path) + ": written " + std::to_string(earlier + 1) +
                          " times in one object; the driver uses only this last one and ignores ";
    message += earlier == 1 ? std::string("the one at ")
                            : "the " + std::to_string(earlier) + " before it, the first at ";
    return message + std::to_string(first.line) + ":" + std::to_string(first.column);
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

std::string quotedForMessage(std::string_view text) {
    std::string result = "\"";
    const bool cut = appendEscaped(result, text, /*quoting=*/true, kQuotedLength);
    result += '"';
    if (cut) {
        result += "...";
    }
    return result;
}

std::string escapedForMessage(std::string_view text) {
    std::string result;
    appendEscaped(result, text, /*quoting=*/false, std::string_view::npos);
    return result;
}

namespace {

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
