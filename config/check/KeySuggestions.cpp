// Suggestions for misspelt keys: the known key or section that a name most likely means.
#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include <tarvik/config/ConfigCheck.h>
#include <tarvik/config/ConfigKeys.h>

namespace tarvik::driver {
namespace {

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

// Optimal string alignment distance (insertions, deletions, substitutions, swaps of
// neighbours), or 3 when it is more than 2.
std::size_t closeDistance(const std::string& a, const std::string& b) {
    constexpr std::size_t kFar = 3;
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) >= kFar) {
        return kFar;
    }
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return std::min(d[a.size()][b.size()], kFar);
}

std::string_view lastPart(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

}  // namespace

std::string suggestConfigKey(std::string_view name) {
    constexpr std::size_t kLongestName = 64;  // no key comes near; bounds the work
    if (name.size() > kLongestName) {
        return {};
    }
    const std::string wanted = lowered(name);
    const std::string wantedLast = lowered(lastPart(name));
    std::string best;
    std::size_t bestScore = 4;  // 0: case only, 1-2: letters off, 3: same last part elsewhere
    const auto consider = [&](const char* candidate, bool isKey) {
        if (name == candidate) {
            return;
        }
        const std::string lower = lowered(candidate);
        std::size_t score = closeDistance(wanted, lower);
        if (score == 3 && !(isKey && wantedLast == lowered(lastPart(candidate)))) {
            score = 4;
        }
        if (score < bestScore) {
            bestScore = score;
            best = candidate;
        }
    };
    for (const ConfigKey& key : kConfigKeys) {
        consider(key.name, true);
    }
    for (const char* section : kConfigSections) {
        consider(section, false);
    }
    return best;
}

}  // namespace tarvik::driver
