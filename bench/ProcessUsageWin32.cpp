// Process usage on Windows: GetProcessTimes. Windows keeps no count of voluntary switches.
#include <windows.h>

#include "bench/ProcessUsage.h"

namespace tarvik::bench {

ProcessUsage processUsage() {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return {};
    }
    const auto seconds = [](const FILETIME& time) {
        const auto ticks =
            (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
        return static_cast<double>(ticks) / 1e7;  // 100 ns units
    };
    return {seconds(kernel) + seconds(user), -1};
}

}  // namespace tarvik::bench
