// Finds what is wrong in a hand-edited settings document, without touching any file.
//
//   const tarvik::driver::ConfigCheck check = tarvik::driver::checkConfigText(text);
//   if (!check.usable) { /* the driver would move the file aside and use the defaults */ }
//   for (const auto& finding : check.findings) {
//       std::cout << "config.json:" << finding.line << ':' << finding.column << ": "
//                 << finding.message << '\n';
//   }
//
// What a caller may rely on:
// - The verdict is the load's: `usable` is false exactly when loadConfigJson() would find the
//   text unusable (not a JSON object, a syntax error, nothing but white space) and move the
//   file aside. The finding then says where the parser stopped (line and column, 1-based) and
//   what it expected there.
// - In a usable document every key is judged by the table and the acceptance rule that
//   from_json uses (config/ConfigKeys.h): a finding for a known key means that the driver skips
//   its value and keeps its default; no finding means that it takes it. Unknown keys and
//   sections that are not objects are reported too (the driver ignores them; the next save
//   drops them). Findings come in the order of the text (the first kMaxReportedFindings
//   in key order are kept, then sorted by line and column).
// - Hostile text is safe: nesting is never followed into values the driver ignores, no value is
//   copied or printed whole (strings are cut to a few dozen characters in messages), and at most
//   kMaxReportedFindings findings are kept; `unreported` counts the rest.
// - Line and column of a finding in a usable document are those of its key (the last one when
//   a key is repeated, as the parser keeps the last value); 0 when not known. Columns count
//   characters (UTF-8 sequences), not bytes; a leading byte-order mark is not counted.
// - Throws only std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::driver {

inline constexpr std::size_t kMaxReportedFindings = 100;

struct ConfigFinding {
    enum class Kind : unsigned char {
        Syntax,            // the text is not JSON: the document is unusable
        NotAnObject,       // valid JSON, but not an object: the document is unusable
        SkippedValue,      // a known key whose value the driver skips
        UnknownKey,        // a key the driver does not know
        SectionNotObject,  // a section ("detection") whose value is not an object
    };
    Kind kind = Kind::Syntax;
    std::string key;         // dotted name ("detection.fftSize"); empty for Syntax, NotAnObject
    std::size_t line = 0;    // 1-based; 0 when not known
    std::size_t column = 0;  // 1-based; 0 when not known
    std::string suggestion;  // UnknownKey: the known key it most likely meant, or empty
    // The finding in words, starting with the key where there is one, e.g.
    // "detection.fftSize: found a string \"4096\"; expected an integer from -2147483648 to
    // 2147483647; the driver keeps its default 2048".
    std::string message;

    // True for the kinds that make the whole document unusable.
    bool fatal() const { return kind == Kind::Syntax || kind == Kind::NotAnObject; }
};

struct ConfigCheck {
    bool usable = true;
    std::vector<ConfigFinding> findings;  // the first kMaxReportedFindings
    std::size_t unreported = 0;           // findings beyond those
};

// Checks the text of a settings document as the load would read it.
ConfigCheck checkConfigText(std::string_view text);

// The known dotted key or section that `name` most likely means: the same name in another case,
// one within two letters (an insertion, deletion, substitution or swap of neighbours; case
// ignored), or the same last part in another section ("fftSize" -> "detection.fftSize").
// Empty when there is none.
std::string suggestConfigKey(std::string_view name);

}  // namespace tarvik::driver
