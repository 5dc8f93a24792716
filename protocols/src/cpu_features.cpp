#include "cpu_features.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

#include <cstdint>
#elif defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace protocols::cpu {

#if defined(__x86_64__) || defined(__i386__)

namespace {

constexpr unsigned kLeaf1SSSE3 = 1u << 9;     // ecx
constexpr unsigned kLeaf1SSE41 = 1u << 19;    // ecx
constexpr unsigned kLeaf1OSXSAVE = 1u << 27;  // ecx: XGETBV may be used
constexpr unsigned kLeaf1AVX = 1u << 28;      // ecx
constexpr unsigned kLeaf7AVX2 = 1u << 5;      // ebx
constexpr unsigned kLeaf7AVX512F = 1u << 16;  // ebx

// Register state the OS saves on a context switch (XCR0): SSE and AVX
// halves for the 256-bit registers, plus the mask registers and both
// halves of the upper ZMM state for AVX-512.
constexpr std::uint64_t kYmmState = 0x6;
constexpr std::uint64_t kZmmState = 0xe6;

std::uint64_t xcr0() noexcept {
    std::uint32_t lo = 0, hi = 0;
    // The instruction itself, not the intrinsic, which needs the xsave target.
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

}  // namespace

Features detect() noexcept {
    Features out;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return out;
    out.ssse3 = (c & kLeaf1SSSE3) != 0;
    out.sse4_1 = (c & kLeaf1SSE41) != 0;
    const bool xsave_enabled = (c & kLeaf1OSXSAVE) != 0;
    const bool avx = (c & kLeaf1AVX) != 0;
    const std::uint64_t saved = xsave_enabled ? xcr0() : 0;
    const bool ymm = avx && (saved & kYmmState) == kYmmState;
    const bool zmm = ymm && (saved & kZmmState) == kZmmState;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return out;
    out.avx2 = ymm && (b & kLeaf7AVX2) != 0;
    out.avx512f = zmm && (b & kLeaf7AVX512F) != 0;
    return out;
}

#elif defined(__aarch64__)

Features detect() noexcept {
    Features out;
    out.neon = (::getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0;
    return out;
}

#else

Features detect() noexcept { return {}; }

#endif

bool scalar_loops_forced() noexcept {
#ifdef PROTOCOLS_SCALAR_LOOPS
    return true;
#else
    return false;
#endif
}

const Features& features() noexcept {
    static const Features detected = scalar_loops_forced() ? Features{} : detect();
    return detected;
}

}  // namespace protocols::cpu
