// A driver module built from the library, for unload_test: its one entry point saves a file,
// which waits for the saves' lock of the file's directory when another holder has it.
#include <filesystem>

#include <tarvik/config/ConfigFile.h>

extern "C" __attribute__((visibility("default"))) int tarvik_unload_module_save(const char* path) {
    return static_cast<int>(
        tarvik::driver::saveConfigJsonOutcome(std::filesystem::path(path), tarvik::driver::Config{})
            .failure);
}
