// The host program of the consumer projects: loads nothing itself and hands the path to the
// driver library, as a VR runtime would call into its driver.
//
//   consumer <absolute path of a config.json that does not exist yet>
//
// Exit status 0 when every check passes; otherwise 1 and one "FAIL: " line on standard error.
#include <filesystem>
#include <iostream>

extern "C" int tarvikConsumerRoundTrip(const char* path);

int main(int argc, char** argv) {
    if (argc != 2 || !std::filesystem::path(argv[1]).is_absolute()) {
        std::cerr << "usage: consumer <absolute path of config.json>\n";
        return 2;
    }
    return tarvikConsumerRoundTrip(argv[1]);
}
