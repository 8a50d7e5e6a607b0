// Test-only OS operations on Windows.
#include "platform/testing/OsTestSupport.h"

namespace tarvik::platform::testing {

bool isPosix() {
    return false;
}

bool makeFifo(const std::filesystem::path& /*path*/) {
    return false;
}

unsigned setUmask(unsigned /*mask*/) {
    return 0;
}

}  // namespace tarvik::platform::testing
