// Process usage on POSIX: getrusage(RUSAGE_SELF), which sums every thread of the process.
#include <sys/resource.h>

#include "bench/ProcessUsage.h"

namespace tarvik::bench {

ProcessUsage processUsage() {
    struct rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) {
        return {};
    }
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_nvcsw};
}

}  // namespace tarvik::bench
