// Levelled logging entry for the persistence layer.
//
// Code that reports something composes a message with logConcat() (or hands ready text to
// logMessage()); the message goes to whatever logger sits in `globalLogger`. While the slot is
// empty every message is dropped silently, so nothing a caller does depends on logging.
//
// The slot is never empty to begin with: during static initialisation, before main (or, in a
// shared library, while it is being loaded), the logging module puts a ConsoleLogger at INFO
// in it (common/ConsoleLogger.h). Every program that links the library therefore writes what
// the save and the load did to standard error from its first line, without doing anything.
// A caller may replace that logger or reset the slot to silence the library:
//
//   #include <tarvik/common/Logging.h>
//   using tarvik::common::LogLevel;
//   tarvik::common::globalLogger = std::make_shared<MyHostLogger>();  // your own ILogger
//   tarvik::common::globalLogger->setLevel(LogLevel::Warn);           // or just a level
//   tarvik::common::globalLogger.reset();                             // or nothing at all
//   tarvik::common::logConcat(LogLevel::Warn, "retrying in ", 50, " ms");  // "retrying in 50 ms"
//
// A driver loaded into a VR runtime has no console to read: it installs its own ILogger that
// forwards to the host's log.
//
// One slot per module, not per process. The libraries are static, so every executable, DLL
// and shared library that links them holds its own `globalLogger` (and its own console lock):
// a host's logger does not see a driver DLL's messages, and two drivers never share a slot.
// On Linux this holds because the libraries are built with hidden visibility, so a driver .so
// exports none of their symbols, even when it is loaded with RTLD_GLOBAL. For one log across
// modules, the host hands each driver a logger of its own making (through the driver's own
// entry point) and the driver puts it in its slot; both modules must then be built with the
// same compiler and standard library, since the object crosses between them.
//
// What a caller may rely on:
// - logMessage() and logConcat() may be called from any thread. They read `globalLogger`
//   without a lock: assign or reset the slot only while no other thread logs (normally once,
//   in main or in the driver's start-up entry, before any other thread starts), not from
//   another static object's initialisation. The slot is destroyed with the other statics at
//   exit: do not log from destructors of static objects.
// - logConcat() joins its pieces with nothing between them: the caller writes the spaces.
//   Integers print in plain decimal. The text is built even when the logger discards it.
// - Levels outside Trace..Fatal are passed through unchanged; the logger decides what to do.
//   The library logs INFO for the normal outcomes of a load, WARN for trouble it recovers
//   from and ERROR for a failed file operation; it never uses TRACE, DEBUG or FATAL. Not
//   every outcome is logged: a successful save is silent, and so is a save that fails while
//   writing, flushing or closing its temporary file (a full disk, say); its result says so.
// - Message bytes are never converted: paths appear in their narrow form.
// - Nothing here throws except std::bad_alloc while building a message, and whatever the
//   installed logger's log() throws.
#pragma once

#include <charconv>
#include <cstdint>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace tarvik::common {

enum class LogLevel : std::int32_t {
    Trace = 0,
    Debug = 1,
    Info = 2,
    Warn = 3,
    Error = 4,
    Fatal = 5
};

// A sink for log messages. The logger, not the caller, decides whether a level is written.
class ILogger {
public:
    virtual ~ILogger() = default;
    // `message` is valid only for the duration of the call; copy it to keep it.
    virtual void log(LogLevel level, std::string_view message) = 0;
    virtual void setLevel(LogLevel minLevel) = 0;
    virtual LogLevel getLevel() const = 0;
};

// The logger slot of this module (executable, DLL or shared library; see above). Holds a
// ConsoleLogger at INFO from static initialisation on; replace it or reset it as you need.
extern std::shared_ptr<ILogger> globalLogger;

// Forwards `message` unchanged to the installed logger, or drops it when the slot is empty.
void logMessage(LogLevel level, std::string_view message);

namespace detail {

inline void appendPiece(std::string& out, std::string_view text) {
    out.append(text);
}
inline void appendPiece(std::string& out, const char* text) {
    if (text != nullptr) {
        out.append(text);
    } else {
        // Streaming a null char pointer is undefined; say so in the text instead.
        out.append("(null)");
    }
}
inline void appendPiece(std::string& out, char c) {
    out.push_back(c);
}

template <typename Piece>
void appendPiece(std::string& out, const Piece& piece) {
    constexpr bool isCharacter = std::is_same_v<Piece, char> ||
                                 std::is_same_v<Piece, signed char> ||
                                 std::is_same_v<Piece, unsigned char>;
    if constexpr (std::is_integral_v<Piece> && !std::is_same_v<Piece, bool> && !isCharacter) {
        // Plain decimal, no fill and no grouping: what a default-formatted stream prints. The
        // buffer holds every digit and a sign of any integer type, 128-bit ones included, so
        // to_chars cannot run out of room; a failure would append nothing rather than garbage.
        char digits[std::numeric_limits<Piece>::digits10 + 3];
        const auto result = std::to_chars(std::begin(digits), std::end(digits), piece);
        if (result.ec == std::errc()) {
            out.append(digits, result.ptr);
        }
    } else if constexpr (std::is_convertible_v<const Piece&, std::string_view>) {
        out.append(std::string_view(piece));
    } else {
        std::ostringstream stream;
        stream << piece;
        out.append(stream.str());
    }
}

// The length of a text piece, so that a message is built in one allocation; other pieces are
// left to the string's growth.
template <typename Piece>
std::size_t sizeHint(const Piece& piece) {
    if constexpr (std::is_same_v<Piece, const char*> || std::is_same_v<Piece, char*>) {
        return piece != nullptr ? std::char_traits<char>::length(piece) : 0;
    } else if constexpr (std::is_convertible_v<const Piece&, std::string_view>) {
        return std::string_view(piece).size();
    } else {
        return 0;
    }
}

}  // namespace detail

// Joins `pieces` with nothing between them, as a default-formatted std::ostream would print
// each, and hands the text to logMessage(). The text is built whatever the logger's level.
template <typename... Pieces>
void logConcat(LogLevel level, const Pieces&... pieces) {
    std::string text;
    text.reserve((detail::sizeHint(pieces) + ... + std::size_t{0}));
    (detail::appendPiece(text, pieces), ...);
    logMessage(level, text);
}

}  // namespace tarvik::common
