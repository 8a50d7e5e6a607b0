// Hunts a lock wait that outlives its module or the process's static objects (POSIX). A save
// that gives up waiting leaves a thread blocked in flock; when the holder lets go, that thread
// runs again. If the host has dlclose()d the driver module meanwhile and the module's code is
// unmapped, the host dies with SIGSEGV; if the thread uses static state that exit has
// destroyed, it dies at exit.
//
//   unload_test <driver module> <scratch directory> unload|exit
//
// unload: the module's save times out on a lock this program holds, the module is closed, the
// lock released; the module's waiter must release the lock it then gets and end, and the
// program exit 0. exit: a waiter of this program's own is still blocked when main returns, and
// the holder, a static object, lets go while the static objects are destroyed.
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

// Released by static destruction, after main has returned (the exit case).
SaveLock heldUntilExit;

int unloadWhileWaiting(const fs::path& module, const fs::path& directory) {
    const fs::path target = directory / "config.json";
    const long threadsBefore = tarvik::platform::testing::threadCount();
    SaveLock held;
    if (held.acquire(target, std::chrono::milliseconds(0)) != 0) {
        return fail("could not take the lock");
    }
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return fail(std::string("dlopen: ") + ::dlerror());
    }
    using Save = int (*)(const char*);
    const auto save = reinterpret_cast<Save>(::dlsym(handle, "tarvik_unload_module_save"));
    if (save == nullptr) {
        return fail("the module exports no save");
    }
    // The lock belongs to this thread: the module saves from another one, as a driver would.
    const int failure = std::async(std::launch::async, [&] { return save(target.c_str()); }).get();
    if (failure == 0) {
        return fail("the save went ahead while the lock was held");
    }
    ::dlclose(handle);
    held.release();  // the module's waiter wakes now, in the module's code

    // The waiter must let the lock go (nobody wants it) and end.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    SaveLock again;
    while (again.acquire(target, std::chrono::milliseconds(0)) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            return fail("the lock stayed held after its holder let go");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    again.release();
    while (tarvik::platform::testing::threadCount() > threadsBefore) {
        if (std::chrono::steady_clock::now() > deadline) {
            return fail("the waiting thread did not end");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::cout << "unload_test: the module's waiter ended after the module was closed\n";
    return 0;
}

int exitWhileWaiting(const fs::path& directory) {
    const fs::path target = directory / "config.json";
    if (heldUntilExit.acquire(target, std::chrono::milliseconds(0)) != 0) {
        return fail("could not take the lock");
    }
    const auto error = std::async(std::launch::async, [&] {
                           SaveLock other;
                           return other.acquire(target, std::chrono::milliseconds(20));
                       }).get();
    if (!tarvik::platform::isLockTimeout(error)) {
        return fail("the wait did not time out");
    }
    std::cout << "unload_test: exiting with a waiter blocked\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: unload_test <driver module> <scratch directory> unload|exit\n";
        return 2;
    }
    const fs::path directory = argv[2];
    fs::remove_all(directory);
    fs::create_directories(directory);
    const std::string mode = argv[3];
    if (mode == "unload") {
        return unloadWhileWaiting(argv[1], directory);
    }
    if (mode == "exit") {
        return exitWhileWaiting(directory);
    }
    return 2;
}
