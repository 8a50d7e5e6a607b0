// Which save locks each thread holds, so that a thread that asks again for a lock it holds is
// told so at once: the same on every platform. Which directory a lock is for is each OS file's.
#include "platform/File.h"

namespace tarvik::platform {

SaveLock*& SaveLock::heldLocksOfThisThread() {
    // Trivially destructible: nothing runs when a thread ends, also after the module that holds
    // this code was unloaded.
    thread_local SaveLock* held = nullptr;
    return held;
}

void SaveLock::rememberHeld() {
    nextHeld_ = heldLocksOfThisThread();
    heldLocksOfThisThread() = this;
}

void SaveLock::forgetHeld() {
    for (SaveLock** link = &heldLocksOfThisThread(); *link != nullptr; link = &(*link)->nextHeld_) {
        if (*link == this) {
            *link = nextHeld_;
            break;
        }
    }
    nextHeld_ = nullptr;
}

}  // namespace tarvik::platform
