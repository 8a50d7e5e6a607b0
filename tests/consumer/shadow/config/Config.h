// The consumer's own config/Config.h, with the same relative name as one of the library's
// headers. The consumer projects put this folder on the driver's include path ahead of
// everything else, as a driver built with `-I.` does: the library's headers must still reach
// their own files, and the driver this one.
#pragma once

#define CONSUMER_OWN_CONFIG_HEADER 1

namespace consumer {
struct Config {
    int frameRate = 90;
};
}  // namespace consumer
