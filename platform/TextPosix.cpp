// UTF-8 <-> wide text on POSIX, where wchar_t holds one code point.
#include <cstdint>

#include "platform/Text.h"

namespace tarvik::platform {
namespace {

static_assert(sizeof(wchar_t) == 4, "POSIX wide strings are expected to hold code points");

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

bool utf8ToWide(const std::string& in, std::wstring& out) {
    out.clear();
    std::wstring result;
    result.reserve(in.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t size = in.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        char32_t codePoint = 0;
        std::size_t length = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            result.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            codePoint = lead & 0x1F;
            length = 2;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            codePoint = lead & 0x0F;
            length = 3;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            codePoint = lead & 0x07;
            length = 4;
            minimum = 0x10000;
        } else {
            return false;  // stray continuation byte or a lead byte no UTF-8 uses
        }
        if (size - i < length) {
            return false;  // truncated sequence
        }
        for (std::size_t k = 1; k < length; ++k) {
            if (!isContinuation(bytes[i + k])) {
                return false;
            }
            codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;  // overlong form, beyond Unicode, or an encoded surrogate
        }
        result.push_back(static_cast<wchar_t>(codePoint));
        i += length;
    }
    out = std::move(result);
    return true;
}

std::string wideToUtf8(const std::wstring& in) {
    std::string out;
    out.reserve(in.size());
    for (const wchar_t unit : in) {
        // wchar_t may be signed: take its bits as an unsigned code point value.
        auto codePoint = static_cast<char32_t>(static_cast<std::uint32_t>(unit));
        if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            codePoint = kReplacementCharacter;
        }
        if (codePoint < 0x80) {
            out.push_back(static_cast<char>(codePoint));
        } else if (codePoint < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
            out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
        } else if (codePoint < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
            out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
            out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
        }
    }
    return out;
}

}  // namespace tarvik::platform
