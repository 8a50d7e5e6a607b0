#include "common/Logging.h"

namespace tarvik::common {

// Constant-initialised (empty), so a logger installed by another translation unit's static
// initialisation is never overwritten by this definition.
std::shared_ptr<ILogger> globalLogger;

void logMessage(LogLevel level, std::string_view message) {
    ILogger* const logger = globalLogger.get();
    if (logger == nullptr) {
        return;
    }
    logger->log(level, message);
}

}  // namespace tarvik::common
