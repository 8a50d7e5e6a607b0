// UTF-8 <-> UTF-16 on Windows, through the system's own converters.
#include <windows.h>

#include "platform/Text.h"

namespace tarvik::platform {

bool utf8ToWide(const std::string& in, std::wstring& out) {
    out.clear();
    if (in.empty()) {
        return true;
    }
    const int inputLength = static_cast<int>(in.size());
    const int wideLength =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), inputLength, nullptr, 0);
    if (wideLength <= 0) {
        return false;
    }
    std::wstring result(static_cast<std::size_t>(wideLength), L'\0');
    const int converted = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(),
                                                inputLength, result.data(), wideLength);
    if (converted != wideLength) {
        return false;
    }
    out = std::move(result);
    return true;
}

std::string wideToUtf8(const std::wstring& in) {
    if (in.empty()) {
        return {};
    }
    const int inputLength = static_cast<int>(in.size());
    const int byteCount =
        ::WideCharToMultiByte(CP_UTF8, 0, in.data(), inputLength, nullptr, 0, nullptr, nullptr);
    if (byteCount <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(byteCount), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, in.data(), inputLength, out.data(), byteCount, nullptr,
                          nullptr);
    return out;
}

}  // namespace tarvik::platform
