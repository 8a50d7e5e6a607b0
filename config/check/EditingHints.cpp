// Hints for hand-editing mistakes: what a person most likely did, and how to write it in JSON.
#include "config/check/EditingHints.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>

#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigKeys.h>

namespace tarvik::driver::check {

bool isJsonSpace(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

namespace {

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

bool isWordByte(char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || byte == '_';
}

std::string lowerAscii(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return result;
}

bool isOneOf(const std::string& word, std::initializer_list<const char*> words) {
    return std::any_of(words.begin(), words.end(), [&word](const char* w) { return word == w; });
}

// A bare word where the parser stopped (it may stop at any letter of it): a key without quotes,
// or a literal of another language (True, None, NaN, Infinity).
std::string bareWordHint(std::string_view text, std::size_t offset, const std::string& parserText) {
    if (offset >= text.size() || !isWordByte(text[offset])) {
        return {};
    }
    std::size_t start = offset;
    while (start > 0 && isWordByte(text[start - 1])) {
        --start;
    }
    std::size_t end = offset;
    while (end < text.size() && isWordByte(text[end])) {
        ++end;
    }
    const std::string_view word = text.substr(start, end - start);
    std::size_t after = end;
    while (after < text.size() && isJsonSpace(text[after])) {
        ++after;
    }
    if (parserText.find("while parsing object key") != std::string::npos && after < text.size() &&
        text[after] == ':') {
        return "JSON writes keys in double quotes: write " + quotedForMessage(word);
    }
    const std::string lower = lowerAscii(word);
    if (lower == "true" || lower == "false") {
        return "JSON writes true and false in lower case: write " + lower;
    }
    if (isOneOf(lower, {"none", "null", "nil", "undefined"})) {
        return "JSON writes a value that is not set as null, in lower case: write null";
    }
    if (isOneOf(lower, {"nan", "infinity", "inf"})) {
        return "JSON has no NaN or Infinity: write a number";
    }
    return {};
}

// Where the value token that ends at `offset` (its last byte) begins: a string's opening quote,
// a number's or a literal's first byte.
std::size_t tokenStart(std::string_view text, std::size_t offset) {
    if (text[offset] == '"') {
        std::size_t at = offset;
        while (at > 0) {
            --at;
            if (text[at] == '"') {
                std::size_t backslashes = 0;
                while (backslashes < at && text[at - 1 - backslashes] == '\\') {
                    ++backslashes;
                }
                if (backslashes % 2 == 0) {
                    return at;
                }
            }
        }
        return 0;
    }
    if (text[offset] == '{' || text[offset] == '[') {
        return offset;
    }
    std::size_t at = offset;
    while (at > 0 && (isWordByte(text[at - 1]) || text[at - 1] == '.' || text[at - 1] == '-' ||
                      text[at - 1] == '+')) {
        --at;
    }
    return at;
}

// A value where the parser wanted a ',' or the closing bracket: the comma after the value
// before it is missing. The hint's place is right after that value, at the end of its line.
std::string missingCommaHint(std::string_view text, std::size_t offset,
                             const std::string& parserText,
                             std::optional<std::size_t>& hintOffset) {
    static constexpr const char* kValueStarts[] = {
        "unexpected string literal",
        "unexpected number literal",
        "unexpected true literal",
        "unexpected false literal",
        "unexpected null literal",
        "unexpected '{'",
        "unexpected '['",
    };
    const bool inObject = parserText.find("while parsing object - ") != std::string::npos &&
                          parserText.find("expected '}'") != std::string::npos;
    const bool inArray = parserText.find("while parsing array - ") != std::string::npos &&
                         parserText.find("expected ']'") != std::string::npos;
    if ((!inObject && !inArray) || offset >= text.size() ||
        std::none_of(std::begin(kValueStarts), std::end(kValueStarts), [&](const char* start) {
            return parserText.find(start) != std::string::npos;
        })) {
        return {};
    }
    std::size_t before = tokenStart(text, offset);
    while (before > 0 && isJsonSpace(text[before - 1])) {
        --before;
    }
    if (before == 0) {
        return {};
    }
    hintOffset = before;
    return std::string("add a comma here: JSON separates the ") +
           (inObject ? "members of an object" : "elements of an array") + " with commas";
}

}  // namespace

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
    if (at == ';') {
        return "JSON separates members and elements with a comma, not a semicolon: write , here "
               "(or nothing, after the last one)";
    }
    if (std::string hint = bareWordHint(text, offset, parserText); !hint.empty()) {
        return hint;
    }
    return missingCommaHint(text, offset, parserText, hintOffset);
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

}  // namespace tarvik::driver::check
