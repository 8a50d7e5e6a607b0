// What this process has used so far: CPU time and voluntary context switches (each one a time
// a thread went to sleep and was woken again). One file per OS (ProcessUsagePosix.cpp,
// ProcessUsageWin32.cpp), as for the floors.
#pragma once

namespace tarvik::bench {

struct ProcessUsage {
    double cpuSeconds = 0;        // user and system time of every thread
    long voluntarySwitches = -1;  // -1 where the OS does not count them (Windows)
};

ProcessUsage processUsage();

}  // namespace tarvik::bench
