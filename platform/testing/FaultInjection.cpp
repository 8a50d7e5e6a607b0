#include "platform/testing/FaultInjection.h"

#include <array>
#include <atomic>
#include <mutex>

namespace tarvik::platform::testing {
namespace {

constexpr std::size_t kOperationCount = static_cast<std::size_t>(Operation::ReadAllocation) + 1;

struct Fault {
    ErrorCode code = 0;
    int remaining = 0;  // < 0: unlimited
    int consumed = 0;
};

std::mutex faultMutex;
std::array<Fault, kOperationCount> faults;
std::array<std::function<void()>, kOperationCount> actions;
// Fast path for production: nothing is armed, so no lock is taken.
std::atomic<bool> anyArmed{false};

Fault& slot(Operation operation) {
    return faults[static_cast<std::size_t>(operation)];
}

}  // namespace

void failNext(Operation operation, ErrorCode code, int times) {
    std::lock_guard<std::mutex> guard(faultMutex);
    slot(operation).code = code;
    slot(operation).remaining = times;
    anyArmed.store(true, std::memory_order_release);
}

void runBeforeNext(Operation operation, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(faultMutex);
    actions[static_cast<std::size_t>(operation)] = std::move(action);
    anyArmed.store(true, std::memory_order_release);
}

void reportSharingViolation(int times) {
    failNext(Operation::ReadFile, kSharingViolationMarker, times);
}

void clearFaults() {
    std::lock_guard<std::mutex> guard(faultMutex);
    faults = {};
    actions = {};
    anyArmed.store(false, std::memory_order_release);
}

int injectedCount(Operation operation) {
    std::lock_guard<std::mutex> guard(faultMutex);
    return slot(operation).consumed;
}

std::optional<ErrorCode> takeFault(Operation operation) {
    if (!anyArmed.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(faultMutex);
        action.swap(actions[static_cast<std::size_t>(operation)]);
    }
    if (action) {
        action();  // outside the lock: the action may call operations of its own
    }
    std::lock_guard<std::mutex> guard(faultMutex);
    Fault& fault = slot(operation);
    if (fault.remaining == 0) {
        return std::nullopt;
    }
    if (fault.remaining > 0) {
        --fault.remaining;
    }
    ++fault.consumed;
    return fault.code;
}

}  // namespace tarvik::platform::testing
