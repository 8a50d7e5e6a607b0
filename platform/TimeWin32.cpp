// Local calendar time on Windows.
#include <time.h>

#include "platform/Time.h"

namespace tarvik::platform {

std::tm localCalendarTime(std::time_t seconds) {
    std::tm local{};
    const __time64_t wide = seconds;
    if (::_localtime64_s(&local, &wide) != 0) {
        return std::tm{};
    }
    return local;
}

}  // namespace tarvik::platform
