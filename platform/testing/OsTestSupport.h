// OS operations that only tests need: planting special files, holding files open, changing
// permissions. Lives beside the platform layer so that tests never include OS headers; linked
// only into test programs (target tarvik::platform_testing).
#pragma once

#include <filesystem>
#include <string>

namespace tarvik::platform::testing {

// True when this build's platform layer is the POSIX one.
bool isPosix();

}  // namespace tarvik::platform::testing
