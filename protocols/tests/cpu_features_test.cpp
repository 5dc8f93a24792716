// The vector loops are chosen by protocols::cpu; its answer must match what
// the kernel reports for this CPU, and (where the compiler's own detector
// works) what the compiler's runtime says.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "cpu_features.hpp"

namespace protocols::cpu {
namespace {

struct Flag {
    const char* name;  // as /proc/cpuinfo spells it
    bool Features::*member;
};

const Flag kFlags[] = {
    {"ssse3", &Features::ssse3},
    {"sse4_1", &Features::sse4_1},
    {"avx2", &Features::avx2},
    {"avx512f", &Features::avx512f},
};

class CpuFeatures : public ::testing::TestWithParam<Flag> {};

std::set<std::string> kernel_flags() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        std::set<std::string> out;
        for (std::string w; words >> w;) out.insert(w);
        return out;
    }
    return {};
}

TEST_P(CpuFeatures, MatchesTheKernelsFlags) {
#if !(defined(__x86_64__) || defined(__i386__))
    GTEST_SKIP() << "not an x86 CPU";
#endif
    const std::set<std::string> flags = kernel_flags();
    if (flags.empty()) GTEST_SKIP() << "no flags line in /proc/cpuinfo";
    EXPECT_EQ(detect().*GetParam().member, flags.count(GetParam().name) == 1);
    EXPECT_EQ(features().*GetParam().member, !scalar_loops_forced() && detect().*GetParam().member);
}

#if defined(__GNUC__) && !defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
TEST(CpuFeaturesCompiler, MatchesGccsDetector) {
    const Features f = detect();
    EXPECT_EQ(f.ssse3, __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ(f.sse4_1, __builtin_cpu_supports("sse4.1") != 0);
    EXPECT_EQ(f.avx2, __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(f.avx512f, __builtin_cpu_supports("avx512f") != 0);
}
#endif

// The kernel lists Advanced SIMD as "asimd" among an ARM CPU's features
// (qemu-user shows the host's /proc/cpuinfo instead, without that line).
TEST(CpuFeaturesArm, NeonMatchesTheKernelsFeatures) {
#if !defined(__aarch64__)
    GTEST_SKIP() << "not an AArch64 CPU";
#endif
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line) && line.rfind("Features", 0) != 0) {
    }
    if (line.rfind("Features", 0) != 0) GTEST_SKIP() << "no Features line in /proc/cpuinfo";
    std::istringstream words(line.substr(line.find(':') + 1));
    bool asimd = false;
    for (std::string w; words >> w;) asimd = asimd || w == "asimd";
    EXPECT_EQ(detect().neon, asimd);
    EXPECT_EQ(features().neon, !scalar_loops_forced() && detect().neon);
}

INSTANTIATE_TEST_SUITE_P(Flags, CpuFeatures, ::testing::ValuesIn(kFlags),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace protocols::cpu
