// Test-only OS operations on Windows.
#include <windows.h>

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

long ownerOf(const std::filesystem::path& /*path*/) {
    return -1;
}

bool giveToNobody(const std::filesystem::path& /*path*/) {
    return false;
}

long openDescriptorCount() {
    DWORD count = 0;
    if (!::GetProcessHandleCount(::GetCurrentProcess(), &count)) {
        return -1;
    }
    return static_cast<long>(count);
}

long threadCount() {
    return -1;
}

OpenDescriptors descriptorsOpenOn(const std::filesystem::path& /*path*/) {
    return {};
}

bool someoneWaitsToLock(const std::filesystem::path& /*directory*/) {
    return false;  // a wait for a named mutex cannot be seen from outside
}

bool markHiddenSystemReadOnly(const std::filesystem::path& path) {
    return ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                  FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace tarvik::platform::testing
