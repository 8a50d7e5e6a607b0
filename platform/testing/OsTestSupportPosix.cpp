// Test-only OS operations on POSIX.
#include "platform/testing/OsTestSupport.h"

#include <sys/stat.h>

namespace tarvik::platform::testing {

bool isPosix() {
    return true;
}

bool makeFifo(const std::filesystem::path& path) {
    return ::mkfifo(path.c_str(), 0600) == 0;
}

unsigned setUmask(unsigned mask) {
    return static_cast<unsigned>(::umask(static_cast<mode_t>(mask)));
}

}  // namespace tarvik::platform::testing
