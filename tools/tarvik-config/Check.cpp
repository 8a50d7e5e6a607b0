// tarvik-config check FILE: the checker's findings, one a line, as compilers write theirs.
#include "tools/tarvik-config/Commands.h"

namespace tarvik::tools {

namespace tvd = tarvik::driver;

int runCheck(const File& file) {
    const FileText text = readText(file);
    if (text.state == ReadState::Missing) {
        err("tarvik-config: " + file.shownName + " does not exist\n");
        return kRefused;
    }
    if (text.state == ReadState::Failed) {
        return cannotRead(file, text);
    }
    const tvd::ConfigCheck result = tvd::checkConfigText(text.text);
    printFindings(file, result, out);
    if (!result.usable) {
        return kRefused;
    }
    return result.findings.empty() ? kSuccess : kFindings;
}
}  // namespace tarvik::tools
