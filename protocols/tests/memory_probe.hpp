// Resident memory of this process as the kernel counts it, for tests that
// check what buffers cost.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace testing_memory {

// A field of /proc/self/smaps_rollup or /proc/self/status, in bytes.
inline std::int64_t proc_field_bytes(const char* file, const std::string& key) {
    std::ifstream in(file);
    const std::string prefix = key + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::stoll(line.substr(prefix.size())) * 1024;
    }
    return 0;
}

// Resident bytes less those the kernel may take back at will (MADV_FREE).
inline std::int64_t resident_bytes() {
    return proc_field_bytes("/proc/self/smaps_rollup", "Rss") -
           proc_field_bytes("/proc/self/smaps_rollup", "LazyFree");
}

// Peak resident bytes since the last reset_peak().
inline std::int64_t peak_resident_bytes() { return proc_field_bytes("/proc/self/status", "VmHWM"); }

inline void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace testing_memory
