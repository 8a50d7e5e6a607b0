// Conversions between UTF-8 and the platform's wide strings (UTF-16 on Windows, code points
// in wchar_t on POSIX).
#pragma once

#include <string>

namespace tarvik::platform {

// Strict: invalid UTF-8 (overlong forms, encoded surrogates, values above U+10FFFF, truncated
// sequences, stray continuation bytes) fails and leaves `out` empty. A NUL byte converts.
bool utf8ToWide(const std::string& in, std::wstring& out);

// Lenient: a character that has no UTF-8 form (an unpaired surrogate, a value above U+10FFFF)
// becomes U+FFFD. Empty on failure of the platform call.
std::string wideToUtf8(const std::wstring& in);

}  // namespace tarvik::platform
