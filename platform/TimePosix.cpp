// Local calendar time on POSIX.
#include <time.h>

#include "platform/Time.h"

namespace tarvik::platform {

std::tm localCalendarTime(std::time_t seconds) {
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::tm{};
    }
    return local;
}

}  // namespace tarvik::platform
