// Where things stand in the text of a settings document: the line and column of an offset, and
// where each key of the top-level object and of its sections begins. Internal to the checker.
//
// What the rest of the checker relies on:
// - Lines are 1-based and end at LF, CR LF (one line end) or a lone CR; columns are 1-based and
//   count characters (UTF-8 sequences), not bytes; a leading byte-order mark is not counted.
// - Locator is run only over a text that parsed. It builds no document, so nesting costs
//   nothing but a counter.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvik::driver::check {

struct Position {
    std::size_t line = 0;
    std::size_t column = 0;
};

// The places of many offsets at once, in any order.
std::map<std::size_t, Position> placesOf(std::string_view text,
                                         const std::set<std::size_t>& offsets);

// Where a key is: its section ("" at the top level) and its name inside that object. A
// top-level key literally named "detection.fftSize" is {"", "detection.fftSize"}, the key
// inside "detection" is {"detection", "fftSize"}: the dotted names are alike, the places not.
using KeyPath = std::pair<std::string, std::string>;

// The occurrences of one repeated key, as offsets of their opening quotes, in text order.
struct Repeat {
    KeyPath path;
    std::vector<std::size_t> offsets;
};

// A SAX pass over a text that parsed, which records where the wanted keys of the top-level
// object and of its member objects begin (the last occurrence, which counts) and, when asked
// to, every key written more than once at the top level or inside the section that counts
// (the last "detection" object, say).
class Locator {
public:
    using json = nlohmann::json;

    Locator(std::string_view text, const std::set<KeyPath>& wanted, bool findRepeats)
        : text_(text), wanted_(wanted), findRepeats_(findRepeats) {}

    void run();

    // The offset of each wanted key's opening quote.
    const std::map<KeyPath, std::size_t>& places() const { return places_; }

    // Every repeated key, top-level ones first, each in text order.
    std::vector<Repeat> repeats() const;

    // The SAX interface.
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(json::number_integer_t) { return true; }
    bool number_unsigned(json::number_unsigned_t) { return true; }
    bool number_float(json::number_float_t, const json::string_t&) { return true; }
    bool string(json::string_t&) { return true; }
    bool binary(json::binary_t&) { return true; }
    bool start_object(std::size_t);
    bool end_object();
    bool start_array(std::size_t) {
        ++depth_;
        return true;
    }
    bool end_array() {
        --depth_;
        return true;
    }
    // cppcheck-suppress constParameter ; the parser's interface passes a mutable reference
    bool key(json::string_t& name);
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;  // only run over texts that parsed
    }

private:
    using Occurrences = std::map<std::string, std::vector<std::size_t>>;

    // The offset of the key the parser has just read (its opening quote), kept in places_ when
    // the key is wanted; found only when wanted or `always`.
    std::size_t record(const KeyPath& path, bool always);

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

}  // namespace tarvik::driver::check
