// What a console program needs from the OS beyond files: its arguments and its standard
// streams, both as UTF-8 on every platform.
//
//   int main(int argc, char** argv) {
//       const std::vector<std::string> arguments = platform::commandLineArguments(argc, argv);
//       platform::writeStandard(platform::StandardStream::Output, "Gr\xC3\xBC\xC3\x9F" "e\n");
//   }
//
// One implementation per OS (CommandLinePosix.cpp, CommandLineWin32.cpp), in the library
// tarvik::platform_cli, which only programs link (it is not part of the installed libraries).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvik::platform {

// The program's arguments, element 0 being the program. On Windows they are read from the
// wide command line (GetCommandLineW, split by CommandLineToArgvW) and converted to UTF-8,
// because main's narrow argv passes through the ANSI code page and loses every character it
// lacks; a lone UTF-16 surrogate becomes U+FFFD. On POSIX they are argv's bytes as given.
std::vector<std::string> commandLineArguments(int argc, char** argv);

enum class StandardStream { Output, Error };

// Writes `text`, UTF-8, to standard output or standard error, all of it. A file or pipe gets the
// bytes unchanged (no line-end translation, no code page); a Windows console gets the text as
// UTF-16, so that every character shows whatever the console's code page is. Does not mix
// with buffered C or C++ stream output: a program uses one or the other. False when the write
// failed (a closed pipe, a full disk).
bool writeStandard(StandardStream stream, std::string_view text);

// `argument` written so that this platform's command shell passes it on unchanged, for a
// command that a program suggests to its user: as it is when that is safe (letters, digits,
// characters outside ASCII and "_-.,/:@%+=", and "\\" on Windows); otherwise POSIX: in single
// quotes, each ' written as '\'' (any POSIX shell); Windows: in double quotes, which cmd.exe
// and PowerShell both take for a name with spaces, parentheses, & or ' (a Windows file name
// holds no double quote). Inside them PowerShell still expands $ and ` and cmd.exe %NAME%.
std::string quoteForShell(std::string_view argument);

}  // namespace tarvik::platform
