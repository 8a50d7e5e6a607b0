// Test-only OS operations on Windows.
#include "platform/testing/OsTestSupport.h"

namespace tarvik::platform::testing {

bool isPosix() { return false; }

}  // namespace tarvik::platform::testing
