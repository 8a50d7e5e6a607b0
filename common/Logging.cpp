#include <tarvik/common/Logging.h>

#include <memory>

#include <tarvik/common/ConsoleLogger.h>

namespace tarvik::common {

// Constant-initialised (empty) before any dynamic initialisation runs, so it is a valid slot
// for every translation unit's static initialisation, whatever the order.
std::shared_ptr<ILogger> globalLogger;

namespace {

// The console logger at INFO, put in the slot during static initialisation. It is made here,
// in the translation unit that defines logMessage(), so every program or module that can log
// links it too: taking the static library apart cannot leave it out. A logger that another
// translation unit's static initialisation installed first is kept.
const bool consoleLoggerInstalled = [] {
    if (!globalLogger) {
        globalLogger = std::make_shared<ConsoleLogger>(LogLevel::Info);
    }
    return true;
}();

}  // namespace

void logMessage(LogLevel level, std::string_view message) {
    ILogger* const logger = globalLogger.get();
    if (logger == nullptr) {
        return;
    }
    logger->log(level, message);
}

}  // namespace tarvik::common
