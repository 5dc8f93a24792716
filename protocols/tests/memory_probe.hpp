// Resident memory of this process as the kernel counts it, for tests that
// check what buffers cost.
#pragma once

#include <sys/utsname.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace testing_memory {

// Under qemu-user the memory calls are answered by the emulator
// (madvise(MADV_FREE) succeeds without freeing anything), so what these
// tests measure there is the emulator, not this program. The program then
// runs on a kernel of another architecture than its own.
inline bool under_emulation() {
    std::ifstream in("/proc/sys/kernel/arch");
    std::string kernel;
    utsname own{};
    if (!(in >> kernel) || ::uname(&own) != 0) return false;
    return kernel != own.machine;
}

#define SKIP_MEMORY_TEST_UNDER_EMULATION()                                                                  \
    do {                                                                                                    \
        if (testing_memory::under_emulation()) {                                                            \
            GTEST_SKIP() << "under emulation the emulator's memory is measured, not this program's (qemu-user " \
                            "answers madvise(MADV_FREE) without freeing)";                                  \
        }                                                                                                   \
    } while (0)

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
