// Test-only OS operations on POSIX.
#include "platform/testing/OsTestSupport.h"

#include <sys/stat.h>

namespace tarvik::platform::testing {

bool isPosix() { return true; }

unsigned setUmask(unsigned mask) {
    return static_cast<unsigned>(::umask(static_cast<mode_t>(mask)));
}

}  // namespace tarvik::platform::testing
