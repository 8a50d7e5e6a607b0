// A logger that writes one time-stamped line per message to standard error.
//
//   tarvik::common::globalLogger = std::make_shared<tarvik::common::ConsoleLogger>();
//
// Line format: "[HH:MM:SS.mmm] [LEVEL] message" in local time, then a newline and a flush.
// LEVEL is TRACE, DEBUG, INFO, WARN, ERROR or FATAL, and UNKNOWN for any other value.
//
// What a caller may rely on:
// - Messages below the minimum level cost one comparison: no lock, no clock read.
// - Any thread may log through any instance. All instances share one process-wide mutex, so
//   lines from different threads never interleave; the message bytes are written unchanged.
// - setLevel() takes no lock: change the level only while no other thread logs through this
//   instance.
// - A failed error stream loses the line silently; log() reports nothing.
#pragma once

#include <string>

#include "common/Logging.h"

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
// ticks since 1970-01-01 UTC, the system clock's reading), including the final newline.
// Exposed so that the format can be checked at chosen instants.
std::string formatConsoleLine(std::int64_t ticks100ns, LogLevel level, std::string_view message);

}  // namespace tarvik::common
