// Test-only OS operations on POSIX.
#include "platform/testing/OsTestSupport.h"

namespace tarvik::platform::testing {

bool isPosix() { return true; }

}  // namespace tarvik::platform::testing
