// Hunts a lock wait that outlives its module or the process's static objects (POSIX). A save
// that gives up waiting leaves a thread blocked in flock, which runs again when the holder lets
// go. If the host has dlclose()d the driver module meanwhile and its code is unmapped, the host
// dies with SIGSEGV; if the thread uses static state that exit has destroyed, it dies at exit.
//
//   unload_test <driver module> <scratch directory>
//
// The module's save times out on a lock this program holds, the module is closed and the lock
// released: the module's waiter must release the lock it then gets and end. Then a waiter of
// this program's own is left blocked on a lock that a static object holds and releases while
// the static objects are destroyed. The program must exit 0.
#include <dlfcn.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include "platform/File.h"
#include "platform/testing/OsTestSupport.h"

namespace {

namespace fs = std::filesystem;
using tarvik::platform::SaveLock;

int fail(const std::string& why) {
    std::cerr << "unload_test: FAIL: " << why << '\n';
    return 1;
}

SaveLock heldUntilExit;  // released by static destruction, after main has returned

// Waits up to 10 s for `done`, checking every 10 ms.
template <typename Condition>
bool within10Seconds(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: unload_test <driver module> <scratch directory>\n";
        return 2;
    }
    const fs::path target = fs::path(argv[2]) / "config.json";
    fs::remove_all(target.parent_path());
    fs::create_directories(target.parent_path());
    const long threadsBefore = tarvik::platform::testing::threadCount();

    SaveLock held;
    void* module = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (held.acquire(target, std::chrono::milliseconds(0)) != 0 || module == nullptr) {
        return fail("could not take the lock or open the module");
    }
    using Save = int (*)(const char*);
    const auto save = reinterpret_cast<Save>(::dlsym(module, "tarvik_unload_module_save"));
    // The lock belongs to this thread: the module saves from another one, as a driver would.
    if (save == nullptr ||
        std::async(std::launch::async, [&] { return save(target.c_str()); }).get() == 0) {
        return fail("the module's save did not wait for the lock");
    }
    ::dlclose(module);
    held.release();  // the module's waiter wakes now, in the module's code
    SaveLock again;
    if (!within10Seconds(
            [&] { return again.acquire(target, std::chrono::milliseconds(0)) == 0; })) {
        return fail("the lock stayed held after its holder let go");
    }
    again.release();
    if (!within10Seconds(
            [&] { return tarvik::platform::testing::threadCount() <= threadsBefore; })) {
        return fail("the module's waiting thread did not end");
    }

    if (heldUntilExit.acquire(target, std::chrono::milliseconds(0)) != 0) {
        return fail("could not take the lock again");
    }
    const auto waited = std::async(std::launch::async, [&] {
                            return SaveLock().acquire(target, std::chrono::milliseconds(20));
                        }).get();
    if (!tarvik::platform::isLockTimeout(waited)) {
        return fail("the wait did not time out");
    }
    std::cout << "unload_test: the module's waiter ended after the module was closed; exiting "
                 "with a waiter blocked\n";
    return 0;
}
