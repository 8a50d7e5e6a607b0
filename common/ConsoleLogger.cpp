#include <tarvik/common/ConsoleLogger.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <iterator>
#include <mutex>

#include "platform/Time.h"

namespace tarvik::common {
namespace {

// One lock for every instance, constant-initialised so that it works before main.
std::mutex consoleLogMutex;

std::string_view levelWord(LogLevel level) {
    switch (level) {
        case LogLevel::Trace:
            return "TRACE";
        case LogLevel::Debug:
            return "DEBUG";
        case LogLevel::Info:
            return "INFO";
        case LogLevel::Warn:
            return "WARN";
        case LogLevel::Error:
            return "ERROR";
        case LogLevel::Fatal:
            return "FATAL";
    }
    return "UNKNOWN";
}

// Writes `value` in decimal at `out`, left-filled with '0' to `width`; wider values are written
// whole. Returns the end of what it wrote; `out` must have room for 20 characters and `width`.
char* writePadded(char* out, std::int64_t value, int width) {
    char digits[24];
    const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
    const auto length = static_cast<int>(result.ptr - digits);
    for (int i = length; i < width; ++i) {
        *out++ = '0';
    }
    return std::copy(digits, result.ptr, out);
}

// Floor division, so that readings before 1970 still give 0..999 milliseconds.
std::int64_t floorDiv(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return (value % divisor < 0) ? quotient - 1 : quotient;
}

// Writes `line` to `out` so that logging can neither throw nor stay silenced. The host may
// have asked the stream for exceptions (std::cerr.exceptions(badbit)), and a failed write
// leaves badbit set, after which the stream skips every later write even once its device
// works again. So each line starts from a clear state with no exceptions enabled; a line that
// cannot be written is lost, and the stream is left clear with the host's exception mask.
void writeLine(std::ostream& out, const std::string& line) {
    const std::ios_base::iostate hostExceptions = out.exceptions();
    out.exceptions(std::ios_base::goodbit);
    out.clear();
    try {
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
        out.flush();
    } catch (const std::ios_base::failure&) {
        // Raised by the tied stream (std::cout), which is flushed first under its own
        // exception mask. The line is lost.
    }
    out.clear();
    out.exceptions(hostExceptions);
}

}  // namespace

std::string formatConsoleLine(std::int64_t ticks100ns, LogLevel level, std::string_view message) {
    // Both rounded down, so that the seconds and the milliseconds name the same instant also
    // before 1970: half a second before the epoch is 23:59:59.500 UTC, not 00:00:00.500.
    const std::int64_t seconds = floorDiv(ticks100ns, 10'000'000);
    const std::int64_t millis = floorDiv(ticks100ns, 10'000) - seconds * 1000;
    const std::tm local = platform::localCalendarTime(static_cast<std::time_t>(seconds));

    // The stamp and the level into a buffer of their own, then the line in one allocation.
    char prefix[128];
    char* end = prefix;
    *end++ = '[';
    end = writePadded(end, local.tm_hour, 2);
    *end++ = ':';
    end = writePadded(end, local.tm_min, 2);
    *end++ = ':';
    end = writePadded(end, local.tm_sec, 2);
    *end++ = '.';
    end = writePadded(end, millis, 3);
    const std::string_view levelName = levelWord(level);
    *end++ = ']';
    *end++ = ' ';
    *end++ = '[';
    end = std::copy(levelName.begin(), levelName.end(), end);
    *end++ = ']';
    *end++ = ' ';
    std::string line;
    line.reserve(static_cast<std::size_t>(end - prefix) + message.size() + 1);
    line.append(prefix, end);
    line.append(message);
    line.push_back('\n');
    return line;
}

void ConsoleLogger::log(LogLevel level, std::string_view message) {
    if (level < minLevel_) {
        return;
    }
    std::lock_guard<std::mutex> guard(consoleLogMutex);
    // The clock is read under the lock, so lines appear in the order of their time stamps.
    const auto now = std::chrono::time_point_cast<
        std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>>(
        std::chrono::system_clock::now());
    const std::string line = formatConsoleLine(now.time_since_epoch().count(), level, message);
    // One write of the whole line: the stream is unbuffered, so piecewise output would cost
    // one system call per piece.
    writeLine(std::cerr, line);
}

}  // namespace tarvik::common
