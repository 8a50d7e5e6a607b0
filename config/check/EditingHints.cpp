// Hints for hand-editing mistakes: what a person most likely did, and how to write it in JSON.
#include "config/check/EditingHints.h"

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
    return {};
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
