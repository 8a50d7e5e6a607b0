// tarvik-config: shows what the driver will use, finds what is wrong in a hand-edited
// config.json, and changes one setting safely. Run `tarvik-config --help` for the commands.
//
// check, show, get and keys only read: they never write, move or create a file (they read the
// text themselves instead of calling loadConfigJson, which moves unusable files aside). set and
// reset write through updateConfigJsonOutcome, so they are atomic and excluded from every other
// save of the file; set and reset KEY refuse a file that is not a usable document, and set and
// reset refuse a file marked read-only unless --force is given; a refused file is left as it is.
//
// Everything printed that comes from the file or the command line (key names, values, the
// parser's tokens, file names, the library's messages) is escaped (see escapedForMessage in
// config/ConfigCheck.h), so that no byte of a file can act on the terminal.
//
// This file reads the command line and hands it to the command's own file (Commands.h); what
// the commands share, the exit statuses among it, is in CommandSupport.h.
#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <tarvik/common/Logging.h>
#include <tarvik/config/ConfigCheck.h>
#include "platform/CommandLine.h"
#include "tools/tarvik-config/Commands.h"

#ifndef TARVIK_CONFIG_VERSION
#define TARVIK_CONFIG_VERSION "unknown"
#endif

namespace tarvik::tools {
namespace {

namespace tvd = tarvik::driver;

constexpr std::string_view kUsage =
    "usage: tarvik-config check FILE\n"
    "       tarvik-config show FILE\n"
    "       tarvik-config get FILE KEY\n"
    "       tarvik-config set [--force] FILE KEY VALUE\n"
    "       tarvik-config reset [--force] FILE [KEY]\n"
    "       tarvik-config keys\n"
    "       tarvik-config watch FILE\n"
    "       tarvik-config --help | --version\n";

constexpr std::string_view kHelp =
    "tarvik-config: see the settings the driver will use, find what is wrong in a\n"
    "hand-edited config.json, and change a setting safely.\n"
    "\n"
    "  check FILE            list what the driver would skip or ignore, one finding a line\n"
    "                        (FILE:LINE:COLUMN: error|warning: ...), each followed by a\n"
    "                        note line with what to change where there is advice\n"
    "  show FILE             the settings the driver would use (the defaults overlaid with\n"
    "                        FILE), as a settings document, then a newline\n"
    "  get FILE KEY          one value: numbers and booleans as JSON writes them, strings as\n"
    "                        their text, a value that is not set as an empty line\n"
    "  set FILE KEY VALUE    change one setting (atomic; safe while the driver runs)\n"
    "  reset FILE [KEY]      one setting, or all of them, back to the default; resetting all\n"
    "                        also replaces a file that is not a usable document (it is kept\n"
    "                        as FILE.corrupted.<time>)\n"
    "  keys                  every key with its type and default\n"
    "  watch FILE            the settings as the driver sees them, then one line per change\n"
    "                        as it happens (KEY: OLD -> NEW, unusable: ..., missing), until\n"
    "                        Ctrl-C (exit 0); it never writes, moves or creates a file\n"
    "  --force               (set, reset) change a file marked read-only; it stays read-only\n"
    "\n"
    "KEY is the dotted name, as `keys` lists it: detection.sensitivity, version, ...\n"
    "VALUE by type: integer: decimal, -2147483648 to 2147483647; number: a JSON number;\n"
    "boolean: true or false; string: the text as given (an empty string clears\n"
    "audio.deviceId and steamvr.customActionBinding); timestamp: whole seconds since 1970,\n"
    "or none.\n"
    "\n"
    "A number setting is shown in the fewest digits that give the same value (0.7); the\n"
    "file keeps the form the driver writes (0.699999988079071). Control characters from the\n"
    "file or the command line are shown as \\uXXXX, bytes that are not UTF-8 as \\xNN.\n"
    "\n"
    "check, show, get and keys never write, move or create a file. A missing FILE holds\n"
    "the defaults for show and get, and is created by set and reset.\n"
    "\n"
    "Exit status: 0 done; 1 check found findings; 2 refused, nothing changed: wrong\n"
    "arguments, unknown key, unfitting value, or a file that cannot be read, is not a usable\n"
    "document or is read-only; 3 failed: the save failed (the file is as it was), out of\n"
    "memory, or an internal error.\n";

int usageError(const std::string& what) {
    err("tarvik-config: " + what + "\n");
    err(kUsage);
    return kRefused;
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        return usageError("no command given");
    }
    const std::string& command = arguments[1];
    std::vector<std::string> operands(arguments.begin() + 2, arguments.end());
    if (command == "--help" || command == "-h") {
        if (!operands.empty()) {
            return usageError("--help takes no arguments");
        }
        out(kUsage);
        out("\n");
        out(kHelp);
        return kSuccess;
    }
    if (command == "--version") {
        if (!operands.empty()) {
            return usageError("--version takes no arguments");
        }
        out("tarvik-config " TARVIK_CONFIG_VERSION "\n");
        return kSuccess;
    }
    if (command == "keys") {
        return operands.empty() ? runKeys() : usageError("keys takes no arguments");
    }

    struct Shape {
        const char* name;
        std::size_t least;
        std::size_t most;
    };
    const Shape shapes[] = {{"check", 1, 1}, {"show", 1, 1},  {"get", 2, 2},
                            {"set", 3, 3},   {"reset", 1, 2}, {"watch", 1, 1}};
    const Shape* shape = std::find_if(std::begin(shapes), std::end(shapes),
                                      [&command](const Shape& s) { return command == s.name; });
    if (shape == std::end(shapes)) {
        return usageError("unknown command " + tvd::quotedForMessage(command));
    }
    bool force = false;
    if (!operands.empty() && operands.front() == "--force") {
        if (command != "set" && command != "reset") {
            return usageError("--force is for set and reset only");
        }
        force = true;
        operands.erase(operands.begin());
    }
    if (operands.size() < shape->least || operands.size() > shape->most) {
        return usageError("wrong number of arguments for " + command);
    }
    if (operands[0].empty()) {
        return usageError("FILE is empty");
    }

    tarvik::common::globalLogger = std::make_shared<WarningLogger>();
    const File file = fileArgument(operands[0]);
    if (command == "check") {
        return runCheck(file);
    }
    if (command == "show") {
        return runShow(file);
    }
    if (command == "get") {
        return runGet(file, operands[1]);
    }
    if (command == "watch") {
        return runWatch(file);
    }
    const Change change{file, force};
    if (command == "set") {
        return runSet(change, operands[1], operands[2]);
    }
    return runReset(change, operands.size() == 2 ? &operands[1] : nullptr);
}

}  // namespace
}  // namespace tarvik::tools

int main(int argc, char** argv) {
    using namespace tarvik::tools;
    namespace platform = tarvik::platform;
    int status = kFailed;
    try {
        status = run(platform::commandLineArguments(argc, argv));
    } catch (const std::bad_alloc&) {
        err("tarvik-config: out of memory\n");
    } catch (const std::exception& error) {
        try {
            err("tarvik-config: internal error: " + shown(error.what()) + "\n");
        } catch (const std::exception&) {
            err("tarvik-config: internal error\n");
        }
    }
    tarvik::common::globalLogger.reset();
    return status;
}
