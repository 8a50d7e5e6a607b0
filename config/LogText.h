// Helpers for putting paths into log messages. Internal to the configuration library.
#pragma once

#include <filesystem>
#include <string>

namespace tarvik::driver::detail {

// The narrow form of `path`, as std::filesystem::path::string() renders it. Where that
// conversion fails (a character the narrow code page lacks), the UTF-8 form is used instead,
// so that composing a message never changes what an operation does.
inline std::string pathForLog(const std::filesystem::path& path) {
    try {
        return path.string();
    } catch (const std::exception&) {
        const auto utf8 = path.u8string();
        return std::string(utf8.begin(), utf8.end());
    }
}

}  // namespace tarvik::driver::detail
