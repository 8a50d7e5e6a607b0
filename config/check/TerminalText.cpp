// Text from a settings file made safe for a terminal: control characters, separators and
// bidirectional marks written as escapes, bytes that are not UTF-8 as \xNN.
#include "config/check/TerminalText.h"

#include <tarvik/config/ConfigCheck.h>

namespace tarvik::driver {
namespace check {

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

}  // namespace check

namespace {

using check::decodeUtf8;

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

}  // namespace

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

}  // namespace tarvik::driver
