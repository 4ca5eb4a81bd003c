#pragma once
// This process's memory as the kernel counts it, for the benchmarks' peak
// memory figures. Any thread.
#include <cstring>
#include <fstream>
#include <string>

namespace lumivane {

// A "KiB" field of /proc/self/status ("VmRSS:", "VmHWM:"); 0 when absent.
inline long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return 0;
}

// Resets the peak ("VmHWM:") to the current resident size.
inline void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace lumivane
