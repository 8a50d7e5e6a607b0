// A logger that writes one time-stamped line per message to standard error.
//
// Install it once at start-up, before other threads log (see common/Logging.h):
//
//   tarvik::common::globalLogger = std::make_shared<tarvik::common::ConsoleLogger>();
//   // or, to see DEBUG and TRACE as well:
//   // std::make_shared<tarvik::common::ConsoleLogger>(tarvik::common::LogLevel::Trace)
//
// Line format: "[HH:MM:SS.mmm] [LEVEL] message" in local time, then a newline and a flush;
// no date. LEVEL is TRACE, DEBUG, INFO, WARN, ERROR or FATAL, and UNKNOWN for any other value.
// For example, a WARN message logged at 9:05:03 and 7 ms:
//   [09:05:03.007] [WARN] Backed up corrupt config to: /cfg/config.json.corrupted.20250102-090503
//
// What a caller may rely on:
// - A new logger writes INFO and above. Messages below the minimum level cost one
//   comparison: no lock, no clock read.
// - Any thread may log through any instance. All instances share one process-wide mutex, so
//   lines from different threads never interleave; the message bytes are written unchanged
//   (a message with a line break spans two lines, the second without a prefix).
// - setLevel() takes no lock: change the level only while no other thread logs through this
//   instance.
// - A failed error stream loses the line silently; log() reports nothing. Each line is tried
//   afresh: a failure earlier (a full disk behind stderr, say) does not silence later lines,
//   and the stream is left in the good state with the exception mask that the program set.
//   log() throws only std::bad_alloc while building the line (and std::system_error should
//   the mutex fail), also when the program has asked std::cerr for exceptions.
// - The standard error stream of a process without a console goes nowhere: a driver inside a
//   host process implements ILogger to forward to the host's log instead.
#pragma once

#include <string>

#include "Logging.h"

namespace tarvik::common {

class ConsoleLogger final : public ILogger {
public:
    explicit ConsoleLogger(LogLevel minLevel = LogLevel::Info) : minLevel_(minLevel) {}

    void log(LogLevel level, std::string_view message) override;
    void setLevel(LogLevel minLevel) override { minLevel_ = minLevel; }
    LogLevel getLevel() const override { return minLevel_; }

private:
    LogLevel minLevel_;
};

// Builds the line that ConsoleLogger writes for a message logged at `ticks100ns` (100 ns
// ticks since 1970-01-01 UTC, the system clock's reading), including the final newline. The
// instant is rounded down to the millisecond, before 1970 as well.
// Exposed so that the format can be checked at chosen instants, and so that a logger of
// one's own can write the same lines elsewhere.
std::string formatConsoleLine(std::int64_t ticks100ns, LogLevel level, std::string_view message);

}  // namespace tarvik::common
