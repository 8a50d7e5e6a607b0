// Text from a settings file made safe to print on a terminal: the UTF-8 decoding and the
// escapes behind quotedForMessage() and escapedForMessage() (config/ConfigCheck.h). Internal to
// the checker.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvik::driver::check {

bool isContinuationByte(char byte);

// At most `limit` bytes of `text` from its end, never cutting a UTF-8 sequence, with "..."
// where something was cut.
std::string tail(std::string_view text, std::size_t limit);

// The length in bytes of the UTF-8 sequence at the start of `text` (not empty), and its code
// point; 0 when the bytes there are not UTF-8 (a stray continuation byte, an overlong form, a
// surrogate, a value beyond U+10FFFF, a sequence cut short).
std::size_t decodeUtf8(std::string_view text, char32_t& codePoint);

}  // namespace tarvik::driver::check
