// Arguments and standard streams on Windows: the wide command line converted to UTF-8, and
// standard handles written with WriteFile (bytes) or WriteConsoleW (a console), and the quoting
// that cmd.exe and PowerShell both take.
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/CommandLine.h"
#include "platform/Text.h"

namespace tarvik::platform {

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide != nullptr) {
        for (int i = 0; i < count; ++i) {
            arguments.push_back(wideToUtf8(wide[i]));
        }
        ::LocalFree(wide);
        return arguments;
    }
    // Out of memory: the narrow arguments are better than none.
    for (int i = 0; i < argc; ++i) {
        arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    return arguments;
}

namespace {

// WriteFile and WriteConsoleW take 32-bit counts: write in pieces well below that.
constexpr std::size_t kChunk = 1U << 20;

bool writeBytes(HANDLE handle, std::string_view text) {
    while (!text.empty()) {
        const DWORD size = static_cast<DWORD>(text.size() < kChunk ? text.size() : kChunk);
        DWORD written = 0;
        if (!::WriteFile(handle, text.data(), size, &written, nullptr) || written == 0) {
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

bool writeConsole(HANDLE handle, const std::wstring& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const std::size_t left = text.size() - done;
        const DWORD size = static_cast<DWORD>(left < kChunk ? left : kChunk);
        DWORD written = 0;
        if (!::WriteConsoleW(handle, text.data() + done, size, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace

bool writeStandard(StandardStream stream, std::string_view text) {
    const HANDLE handle =
        ::GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        std::wstring wide;
        if (utf8ToWide(std::string(text), wide)) {
            return writeConsole(handle, wide);
        }
    }
    return writeBytes(handle, text);
}

std::string quoteForShell(std::string_view argument) {
    const bool plain =
        !argument.empty() && std::all_of(argument.begin(), argument.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte >= 0x80 || std::isalnum(byte) != 0 ||
                   std::strchr("_-.,/:@%+=\\", c) != nullptr;
        });
    return plain ? std::string(argument) : "\"" + std::string(argument) + "\"";
}

}  // namespace tarvik::platform
