// The load's read buffer and read calls, shared by both platform files: a size the process
// cannot hold is a failed read, never an exception. Internal to the platform layer.
#pragma once

#include <algorithm>
#include <new>
#include <string>

#include "platform/testing/FaultInjection.h"

namespace tarvik::platform::detail {

// The most one read call is asked for: Linux moves at most 0x7ffff000 bytes per call anyway,
// ReadFile takes a 32-bit count, and counts above SSIZE_MAX are not portable.
inline constexpr std::size_t kMaxReadRequest = 0x4000'0000;

// Resizes the read buffer to `size` bytes; false when the process cannot hold them.
inline bool resizeReadBuffer(std::string& contents, std::size_t size) {
    if (size > contents.max_size()) {
        return false;
    }
    try {
        if (testing::takeFault(testing::Operation::ReadAllocation)) {
            throw std::bad_alloc();
        }
        contents.resize(size);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Makes room for more of a file whose size was reported as 0 although it may hold bytes
// (procfs, some FUSE file systems): 4 KiB, then twice as much each time. False when the process
// cannot hold more; `tooLarge` then tells whether a string could not hold more at all.
inline bool growReadBuffer(std::string& contents, bool& tooLarge) {
    const std::size_t limit = contents.max_size();
    tooLarge = contents.size() == limit;
    if (tooLarge) {
        return false;
    }
    const std::size_t grown =
        contents.empty() ? 4096 : (contents.size() > limit / 2 ? limit : contents.size() * 2);
    return resizeReadBuffer(contents, grown);
}

// How many of the `count` bytes that the loop asks one read call for the call transfers: all it
// can, unless a test makes the call return fewer than asked, as FUSE, network file systems,
// signals and Linux above 0x7ffff000 bytes do. The caller asks for `count` and must cope with
// any shorter answer; it never sees this limit.
inline std::size_t bytesOneReadDelivers(std::size_t count) {
    if (auto chunk = testing::takeFault(testing::Operation::ReadChunk)) {
        return std::min<std::size_t>(count, *chunk);
    }
    return count;
}

}  // namespace tarvik::platform::detail
