// Values the driver takes but that nobody likely meant: control characters in paths and names,
// and numbers that no setting can mean.
#include "config/check/TakenValues.h"

#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tarvik::driver::check {
namespace {

bool holdsText(ValueType type) {
    return type == ValueType::Text || type == ValueType::TextOrNull ||
           type == ValueType::WideText || type == ValueType::WideOrNull;
}

// The integer settings with a least value that means something, and why.
struct Least {
    const char* key;
    std::int64_t least;
    const char* why;
};

constexpr Least kLeast[] = {
    {"audio.bufferSizeMs", 0, "no buffer is shorter than 0 ms"},
    {"detection.minDurationMs", 0, "no duration is shorter than 0 ms"},
    {"detection.cooldownMs", 0, "no pause is shorter than 0 ms"},
    {"detection.fftSize", 1, "a transform needs at least 1 sample"},
};

// The control characters (U+0000 to U+001F) in `text`, each once, as escapes: "\t, \n". JSON
// lets no such character stand in a string as it is, so each of them came from an escape.
std::string controlsIn(std::string_view text) {
    std::string seen;
    std::string named;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 && seen.find(c) == std::string::npos) {
            seen += c;
            named += (named.empty() ? "" : ", ") + escapedForMessage(std::string_view(&c, 1));
        }
    }
    return named;
}

}  // namespace

std::optional<ConfigFinding> noteOnTakenValue(const ConfigKey& key, const nlohmann::json& value) {
    ConfigFinding finding;
    finding.key = key.name;
    if (holdsText(key.type) && value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        const std::string controls = controlsIn(text);
        if (controls.empty()) {
            return std::nullopt;
        }
        finding.kind = ConfigFinding::Kind::ControlInText;
        finding.message = std::string(key.name) + ": the driver takes " + quotedForMessage(text) +
                          " as it is, with control characters that escapes wrote (" + controls +
                          ")";
        finding.hint =
            "in JSON a backslash starts an escape (\\t is a TAB, \\n a line end): write each \\ "
            "of a Windows path as \\\\ or as / (\"C:\\\\temp\\\\...\" or \"C:/temp/...\")";
        return finding;
    }
    if (!value.is_number_integer()) {
        return std::nullopt;
    }
    for (const Least& least : kLeast) {
        if (key.name == std::string_view(least.key)) {
            // Applied, so within 32 bits: a signed read is exact.
            if (value.get<std::int64_t>() >= least.least) {
                return std::nullopt;
            }
            finding.kind = ConfigFinding::Kind::Implausible;
            finding.message = std::string(key.name) + ": the driver takes " + value.dump() +
                              " as it is, but " + least.why;
            return finding;
        }
    }
    return std::nullopt;
}

}  // namespace tarvik::driver::check
