// Local calendar time from the C runtime's thread-safe conversion.
#pragma once

#include <ctime>

namespace tarvik::platform {

// Breaks `seconds` since 1970 down into local calendar time. Returns a zero-initialised
// std::tm when the conversion fails (the result is then still safe to print).
std::tm localCalendarTime(std::time_t seconds);

}  // namespace tarvik::platform
