// The consumer's own common/Logging.h (see config/Config.h in this folder). Declares nothing of
// the library's: were it included in place of the library's header, the library's headers would
// not compile ("'tarvik::common' has not been declared").
#pragma once

#define CONSUMER_OWN_LOGGING_HEADER 1

namespace consumer {
inline const char* logPrefix() {
    return "[driver] ";
}
}  // namespace consumer
