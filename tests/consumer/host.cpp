// The host of the consumer projects: plays the VR runtime, which loads its drivers at run time
// (LoadLibraryW on Windows, dlopen on Linux) and calls into them. It links nothing of the
// library. It hunts a driver module that does not load (a DLL that imports the MinGW runtime
// DLLs fails with error 126 on a machine without them), a save and load that fail inside a
// driver under a non-ASCII directory, and two drivers that share one logger slot: both are
// loaded as the runtime may (RTLD_GLOBAL on Linux), each gets a capturing logger, and each
// must see its own message and not the other's. Last, the second driver watches the settings
// file: the host changes it as another program would and polls the driver as a frame loop does
// until the change arrives; then the driver stops its watcher and is unloaded. The module must
// really be gone, no thread of it may be left, and the host and the second driver must go on.
//
//   host <driver A> <driver B> <absolute directory for the settings, existing>
//
// Exit status 0 when every check passes; otherwise 1 and "FAIL: " lines on standard error.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include <tlhelp32.h>
#else
#include <dlfcn.h>
#endif

namespace {

using RoundTrip = int (*)(const char*);
using CaptureLog = void (*)();
using Log = void (*)(const char*);
using Captured = int (*)(const char*);
using WatchStart = int (*)(const char*);
using WatchPoll = int (*)();
using WatchStop = void (*)();

struct Driver {
    std::string name;
    std::filesystem::path file;
    void* module = nullptr;
    RoundTrip roundTrip = nullptr;
    CaptureLog captureLog = nullptr;
    Log log = nullptr;
    Captured captured = nullptr;
    WatchStart watchStart = nullptr;
    WatchPoll watchPoll = nullptr;
    WatchStop watchStop = nullptr;
};

#ifdef _WIN32
void* openModule(const std::filesystem::path& file) {
    return reinterpret_cast<void*>(LoadLibraryW(file.wstring().c_str()));
}
void* findSymbol(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
std::string lastError() {
    return "error " + std::to_string(GetLastError());
}
bool closeModule(void* module) {
    return FreeLibrary(static_cast<HMODULE>(module)) != 0;
}
bool moduleStillLoaded(const std::filesystem::path& file) {
    return GetModuleHandleW(file.filename().wstring().c_str()) != nullptr;
}
// The threads of this process, from a snapshot of the system's.
int threadCount() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}
#else
void* openModule(const std::filesystem::path& file) {
    // RTLD_GLOBAL: the driver's symbols could bind the next module's; none of the library's
    // may be among them.
    return dlopen(file.c_str(), RTLD_NOW | RTLD_GLOBAL);
}
void* findSymbol(void* module, const char* name) {
    return dlsym(module, name);
}
std::string lastError() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}
bool closeModule(void* module) {
    return dlclose(module) == 0;
}
bool moduleStillLoaded(const std::filesystem::path& file) {
    void* const module = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module != nullptr) {
        dlclose(module);
    }
    return module != nullptr;
}
int threadCount() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator task("/proc/self/task", error), end;
         !error && task != end; task.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}
#endif

template <typename Function>
bool bind(void* module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(findSymbol(module, name));
    if (function == nullptr) {
        std::cerr << "FAIL: no exported function " << name << '\n';
    }
    return function != nullptr;
}

bool load(const std::filesystem::path& file, Driver& driver) {
    driver.name = file.filename().string();
    driver.file = file;
    void* const module = openModule(file);
    if (module == nullptr) {
        std::cerr << "FAIL: cannot load " << file.string() << ": " << lastError() << '\n';
        return false;
    }
    driver.module = module;
    return bind(module, "consumer_round_trip", driver.roundTrip) &&
           bind(module, "consumer_capture_log", driver.captureLog) &&
           bind(module, "consumer_log", driver.log) &&
           bind(module, "consumer_captured", driver.captured) &&
           bind(module, "consumer_watch_start", driver.watchStart) &&
           bind(module, "consumer_watch_poll", driver.watchPoll) &&
           bind(module, "consumer_watch_stop", driver.watchStop);
}

bool fail(const std::string& what) {
    std::cerr << "FAIL: " << what << '\n';
    return false;
}

// Replaces `file` as another program's atomic save does.
void saveAsAnotherProgram(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::path temporary = file;
    temporary += ".host";
    std::ofstream(temporary, std::ios::binary) << text;
    std::filesystem::rename(temporary, file);
}

// The driver watches `file`; the host changes it and polls the driver once a frame (90 Hz) until
// the change arrives, then has the driver stop its watcher and unloads the driver.
bool watchThenUnload(Driver& driver, const std::filesystem::path& file) {
    const int threadsBefore = threadCount();
    if (driver.watchStart(file.u8string().c_str()) != 0) {
        return false;
    }
    saveAsAnotherProgram(file, R"({"detection": {"sensitivity": 0.75}})");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int sensitivity = -1;
    while (sensitivity == -1 && std::chrono::steady_clock::now() < deadline) {
        sensitivity = driver.watchPoll();
        std::this_thread::sleep_for(std::chrono::milliseconds(11));  // one frame
    }
    if (sensitivity != 750) {
        return fail("the driver's watcher reported " + std::to_string(sensitivity) +
                    " thousandths, not the 750 that the host saved");
    }
    std::cout << "the driver's watcher reported the host's change\n";
    driver.watchStop();
    const int threadsAfter = threadCount();
    if (threadsAfter != threadsBefore) {
        return fail(std::to_string(threadsAfter) + " threads after the watcher's stop, " +
                    std::to_string(threadsBefore) + " before its start");
    }
    if (!closeModule(driver.module) || moduleStillLoaded(driver.file)) {
        return fail(driver.name + " could not be unloaded");
    }
    // A thread left behind in the unloaded code would wake up for this change and crash the host.
    saveAsAnotherProgram(file, R"({"detection": {"sensitivity": 0.25}})");
    std::cout << driver.name << " stopped its watcher and was unloaded\n";
    return true;
}

bool expectCount(const Driver& driver, const char* text, int expected) {
    const int count = driver.captured(text);
    if (count != expected) {
        std::cerr << "FAIL: " << driver.name << "'s logger got '" << text << "' " << count
                  << " times, expected " << expected << '\n';
    }
    return count == expected;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: host <driver A> <driver B> <absolute settings directory>\n";
        return 2;
    }
    Driver first;
    Driver second;
    if (!load(argv[1], first) || !load(argv[2], second)) {
        return 1;
    }

    // The settings live under a directory whose name needs more than ASCII.
    const std::filesystem::path settings =
        std::filesystem::path(argv[3]) /
        std::filesystem::u8path(u8"Einstellungen-\u00e4\u00f6\u00fc-\u8a2d\u5b9a") / "config.json";
    if (first.roundTrip(settings.u8string().c_str()) != 0) {
        return 1;
    }
    std::cout << "round trip passed in " << first.name << '\n';

    first.captureLog();
    second.captureLog();
    first.log("message of the first driver");
    second.log("message of the second driver");
    const bool separate = expectCount(first, "message of the first driver", 1) &&
                          expectCount(first, "message of the second driver", 0) &&
                          expectCount(second, "message of the second driver", 1) &&
                          expectCount(second, "message of the first driver", 0);
    if (!separate) {
        return 1;
    }
    std::cout << "each driver logs through its own slot\n";

    // The second driver: the first one cannot be unloaded while the second is loaded, because
    // the second's references to the C++ runtime's weak symbols (type information) bound to the
    // first's copies when it was loaded RTLD_GLOBAL.
    if (!watchThenUnload(second, settings)) {
        return 1;
    }
    first.log("message after the second driver was unloaded");
    if (!expectCount(first, "message after the second driver was unloaded", 1)) {
        return 1;
    }
    std::cout << "the host and the first driver go on\n";
    return 0;
}
