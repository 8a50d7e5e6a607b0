// Finds what is wrong in a hand-edited settings document, without touching any file.
//
//   const tarvik::driver::ConfigCheck check = tarvik::driver::checkConfigText(text);
//   if (!check.usable) { /* the driver would move the file aside and use the defaults */ }
//   for (const auto& finding : check.findings) {
//       std::cout << "config.json:" << finding.line << ':' << finding.column << ": "
//                 << finding.message << '\n';
//       if (!finding.hint.empty()) { std::cout << "  hint: " << finding.hint << '\n'; }
//   }
//
// What a caller may rely on:
// - The verdict is the load's: `usable` is false exactly when loadConfigJson() would find the
//   text unusable (not a JSON object, a syntax error, nothing but white space) and move the
//   file aside. The finding then says where the parser stopped (line and column, 1-based) and
//   what it expected there, in the parser's words; its hint says in plain words what to change
//   for the mistakes people make by hand: a comma before a closing bracket (the hint points at
//   the comma), a missing comma (the hint points at the end of the value that lacks it),
//   a ';' for a ',', comments, single quotes, keys without quotes, True, False or None for
//   true, false or null, NaN and Infinity, single backslashes in a Windows path, an empty file,
//   and a file saved as UTF-16 or UTF-32 (named in the hint).
// - In a usable document every key is judged by the table and the acceptance rule that
//   from_json uses (config/ConfigKeys.h): a finding of a kind that is not taken() for a known
//   key means that the driver skips its value and keeps its default; no such finding means that
//   it takes it. Unknown keys, sections that are not objects, and keys written twice in one
//   object (at the top level and inside a section; only the last one counts) are reported too.
//   The driver ignores unknown keys. Values that the driver takes as they are, but that nobody
//   likely meant, get a finding of a taken() kind: control characters in a path or a name,
//   which only escapes can write ("C:\temp\new" holds a TAB and a line end), and numbers that
//   no setting can mean (a negative duration or buffer length, an fftSize below 1).
//   Findings come in the order of the text (the first kMaxReportedFindings in key order, keys
//   written twice after the others, are kept, then sorted by line and column).
// - Hostile text is safe: nesting is never followed into values the driver ignores, no value is
//   copied or printed whole, and at most kMaxReportedFindings findings are kept; `unreported`
//   counts the rest. Messages and hints are safe to print on a terminal: every piece of the text
//   in them (key names, values, the parser's tokens) is escaped as quotedForMessage() or
//   escapedForMessage() does, and cut to a few dozen characters.
// - Line and column of a finding in a usable document are those of its key (the last one when
//   a key is repeated, as the parser keeps the last value); 0 when not known. Lines end at LF,
//   CR LF or a lone CR. Columns count characters (UTF-8 sequences), not bytes; a leading
//   byte-order mark is not counted.
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
        RepeatedKey,       // a key written more than once in one object: only the last counts
        // The driver takes these values as they are; the finding says what was likely meant.
        ControlInText,  // a path or a name holding control characters that escapes wrote
        Implausible,    // a number that no setting can mean: a negative duration, fftSize 0
    };
    Kind kind = Kind::Syntax;
    // Dotted name ("detection.fftSize"; a top-level key is its own name, dots and all); empty
    // for Syntax, NotAnObject. The file's bytes as they are: escape it before printing it.
    std::string key;
    std::size_t line = 0;    // 1-based; 0 when not known
    std::size_t column = 0;  // 1-based; 0 when not known
    std::string suggestion;  // UnknownKey: the known key it most likely meant, or empty
    // The finding in words, starting with the key where there is one, e.g.
    // "detection.fftSize: found a string \"4096\"; expected an integer from -2147483648 to
    // 2147483647; the driver keeps its default 2048". A key the driver does not know is quoted
    // ("\"detection.fftsize\": unknown key, ...").
    std::string message;
    // What to change, in plain words, or empty: "remove this comma: ...". It concerns the
    // place hintLine:hintColumn when those are not 0 (the comma before the '}' at which the
    // parser stopped), else the finding's own place.
    std::string hint;
    std::size_t hintLine = 0;
    std::size_t hintColumn = 0;
    // RepeatedKey: where the key is first written (the finding's own place is the last one,
    // whose value counts). 0 otherwise.
    std::size_t firstLine = 0;
    std::size_t firstColumn = 0;

    // True for the kinds that make the whole document unusable.
    bool fatal() const { return kind == Kind::Syntax || kind == Kind::NotAnObject; }
    // True for the kinds whose value the driver takes as it is: nothing of the file is lost.
    bool taken() const { return kind == Kind::ControlInText || kind == Kind::Implausible; }
};

struct ConfigCheck {
    bool usable = true;
    std::vector<ConfigFinding> findings;  // the first kMaxReportedFindings
    std::size_t unreported = 0;           // findings beyond those
};

// Checks the text of a settings document as the load would read it.
ConfigCheck checkConfigText(std::string_view text);

// Text from a settings file or a command line, made safe to print: control characters (C0,
// DEL, C1), line and paragraph separators and the bidirectional controls become \uXXXX (JSON's
// \n, \t, \r, \b, \f where it has them), bytes that are not UTF-8 become \xNN; every other
// character is kept. So nothing that a message shows can retitle, clear or reorder a terminal.
// quotedForMessage() also writes \" and \\, puts the result in double quotes, and keeps at most
// kQuotedLength characters of it, with "..." after the closing quote when it cut something:
// "\"red\"", "\"\\u001B]0;...\"...". escapedForMessage() adds no quotes, keeps \ and " as they
// are and cuts nothing, for what must stay as it is: a file name, a message.
inline constexpr std::size_t kQuotedLength = 40;
std::string quotedForMessage(std::string_view text);
std::string escapedForMessage(std::string_view text);

// The known dotted key or section that `name` most likely means: the same name in another case,
// one within two letters (an insertion, deletion, substitution or swap of neighbours; case
// ignored), or the same last part in another section ("fftSize" -> "detection.fftSize").
// Empty when there is none.
std::string suggestConfigKey(std::string_view name);

}  // namespace tarvik::driver
