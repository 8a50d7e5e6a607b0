// Test-only OS operations on POSIX.
#include "platform/testing/OsTestSupport.h"

#include <iterator>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

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

long ownerOf(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return -1;
    }
    return static_cast<long>(status.st_uid);
}

bool giveToNobody(const std::filesystem::path& path) {
    return ::lchown(path.c_str(), 65534, 65534) == 0;
}

long openDescriptorCount() {
    std::error_code error;
    std::filesystem::directory_iterator listing("/proc/self/fd", error);
    if (error) {
        return -1;
    }
    return static_cast<long>(std::distance(listing, std::filesystem::directory_iterator()));
}

bool markHiddenSystemReadOnly(const std::filesystem::path& /*path*/) {
    return false;
}

}  // namespace tarvik::platform::testing
