// Hints for the mistakes people make when they edit a settings file by hand: what to change, in
// plain words, and where. Internal to the checker.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::driver::check {

// JSON's white space: space, TAB, LF, CR.
bool isJsonSpace(char byte);

// Advice on the syntax error at `offset` (where the parser stopped; `parserText` is its
// message) for the mistakes people make by hand, or empty: a file saved as UTF-16 or UTF-32,
// an empty file, a comma before a closing bracket, a comment, single quotes, a single
// backslash, ';' for ',', a key without quotes, True/False/None, NaN/Infinity, a missing
// comma. Two hints concern another place, which they name in `hintOffset`: the comma before the
// bracket, and the end of the value after which a comma is missing.
std::string syntaxHint(std::string_view text, std::size_t offset, const std::string& parserText,
                       std::optional<std::size_t>& hintOffset);

// A top-level key spelt like a key of a section ("detection.fftSize"): the dot is part of its
// name, not a path into the section. Empty for any other name.
std::string dottedTopLevelHint(const std::string& name);

}  // namespace tarvik::driver::check
