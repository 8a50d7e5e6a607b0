// Helpers for putting paths into log messages. Internal to the configuration library.
#pragma once

#include <filesystem>
#include <string>
#include <type_traits>

#include "platform/Text.h"

namespace tarvik::driver::detail {

// Native names as UTF-8, never throwing: narrow (POSIX) names are taken as they are.
inline std::string lenientUtf8(const std::wstring& name) {
    return platform::wideToUtf8(name);
}
inline std::string lenientUtf8(const std::string& name) {
    return name;
}

// The narrow form of `path`, as std::filesystem::path::string() renders it. Where that
// conversion fails, the UTF-8 form is used instead, so that composing a message never changes
// what an operation does. Wide (Windows) names may hold a UTF-16 surrogate without its partner,
// which neither string() nor u8string() can convert (both throw); the platform's lenient
// conversion writes U+FFFD in its place.
inline std::string pathForLog(const std::filesystem::path& path) {
    try {
        return path.string();
    } catch (const std::exception&) {
        return lenientUtf8(path.native());
    }
}

// pathForLog() without the copy where the path's own text is narrow already (POSIX): a reference
// to it, which a message then copies once, into itself. Elsewhere pathForLog()'s string.
template <typename Path>
std::conditional_t<std::is_same_v<typename Path::value_type, char>, const std::string&, std::string>
pathTextForLog(const Path& path) {
    if constexpr (std::is_same_v<typename Path::value_type, char>) {
        return path.native();
    } else {
        return pathForLog(path);
    }
}

}  // namespace tarvik::driver::detail
