// Arguments and standard streams on POSIX: argv as given, write(2) on descriptors 1 and 2, and
// the quoting of a POSIX shell.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/CommandLine.h"

namespace tarvik::platform {

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    arguments.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0);
    for (int i = 0; i < argc; ++i) {
        arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    return arguments;
}

bool writeStandard(StandardStream stream, std::string_view text) {
    const int descriptor = stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO;
    while (!text.empty()) {
        const ssize_t written = ::write(descriptor, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string quoteForShell(std::string_view argument) {
    const bool plain =
        !argument.empty() && std::all_of(argument.begin(), argument.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte >= 0x80 || std::isalnum(byte) != 0 ||
                   std::strchr("_-.,/:@%+=", c) != nullptr;
        });
    if (plain) {
        return std::string(argument);
    }
    std::string quoted = "'";
    for (const char c : argument) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace tarvik::platform
