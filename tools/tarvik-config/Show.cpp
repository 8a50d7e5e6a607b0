// tarvik-config show FILE: the settings the driver would use, as a settings document.
#include <algorithm>

#include "tools/tarvik-config/Commands.h"

namespace tarvik::tools {

namespace tvd = tarvik::driver;
using json = nlohmann::json;

// The document with every float setting as people read it (0.7), which reads back as the
// same settings.
int runShow(const File& file) {
    tvd::Config config;
    if (!effectiveSettings(file, config)) {
        return kRefused;
    }
    json document = config;
    std::string text = document.dump(4);
    for (const tvd::ConfigKey& key : tvd::kConfigKeys) {
        if (key.type != tvd::ValueType::Float) {
            continue;
        }
        // The member's own line is the only place where its name follows a line end and its
        // indentation: a line end inside a string is written as \n.
        const std::string start =
            "\n" + std::string(key.section[0] == '\0' ? 4 : 8, ' ') + "\"" + key.key + "\": ";
        const std::size_t at = text.find(start);
        if (at != std::string::npos) {
            const std::size_t from = at + start.size();
            const std::size_t end = std::min(text.find_first_of(",\n", from), text.size());
            text.replace(from, end - from, valueText(key, memberFor(document, key)));
        }
    }
    out(shownLines(text) + "\n");
    return kSuccess;
}
}  // namespace tarvik::tools
