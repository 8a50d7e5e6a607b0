// tarvik-config keys: every key with its type and default.
#include "tools/tarvik-config/Commands.h"

namespace tarvik::tools {

namespace tvd = tarvik::driver;
using json = nlohmann::json;

int runKeys() {
    json defaults = tvd::Config{};
    std::string text;
    for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
        std::string line = key.name;
        line.resize(32, ' ');
        line += tvd::typeName(key.type);
        line.resize(43, ' ');
        text += line + valueText(key, memberFor(defaults, key)) + "\n";
    }
    out(text);
    return kSuccess;
}
}  // namespace tarvik::tools
