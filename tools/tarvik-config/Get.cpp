// tarvik-config get FILE KEY: one value of the settings the driver would use.
#include "tools/tarvik-config/Commands.h"

namespace tarvik::tools {

namespace tvd = tarvik::driver;
using json = nlohmann::json;

int runGet(const File& file, const std::string& keyName) {
    const tvd::ConfigKey* key = keyArgument(keyName);
    if (key == nullptr) {
        return kRefused;
    }
    tvd::Config config;
    if (!effectiveSettings(file, config)) {
        return kRefused;
    }
    json document = config;
    const json& value = memberFor(document, *key);
    if (value.is_null()) {
        out("\n");
    } else if (value.is_string()) {
        out(shown(value.get_ref<const std::string&>()) + "\n");
    } else {
        out(valueText(*key, value) + "\n");
    }
    return kSuccess;
}
}  // namespace tarvik::tools
