// The host of the consumer projects: plays the VR runtime, which loads its drivers at run time
// (LoadLibraryW on Windows, dlopen on Linux) and calls into them. It links nothing of the
// library. It hunts a driver module that does not load (a DLL that imports the MinGW runtime
// DLLs fails with error 126 on a machine without them), a save and load that fail inside a
// driver under a non-ASCII directory, and two drivers that share one logger slot: both are
// loaded as the runtime may (RTLD_GLOBAL on Linux), each gets a capturing logger, and each
// must see its own message and not the other's.
//
//   host <driver A> <driver B> <absolute directory for the settings, existing>
//
// Exit status 0 when every check passes; otherwise 1 and "FAIL: " lines on standard error.
#include <filesystem>
#include <iostream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using RoundTrip = int (*)(const char*);
using CaptureLog = void (*)();
using Log = void (*)(const char*);
using Captured = int (*)(const char*);

struct Driver {
    std::string name;
    RoundTrip roundTrip = nullptr;
    CaptureLog captureLog = nullptr;
    Log log = nullptr;
    Captured captured = nullptr;
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
    void* const module = openModule(file);
    if (module == nullptr) {
        std::cerr << "FAIL: cannot load " << file.string() << ": " << lastError() << '\n';
        return false;
    }
    return bind(module, "consumer_round_trip", driver.roundTrip) &&
           bind(module, "consumer_capture_log", driver.captureLog) &&
           bind(module, "consumer_log", driver.log) &&
           bind(module, "consumer_captured", driver.captured);
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
    return 0;
}
