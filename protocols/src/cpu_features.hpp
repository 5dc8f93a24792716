#pragma once

// The instruction sets the vector loops are written for, as this CPU has
// them and the operating system saves their registers. On x86 read from
// CPUID directly rather than through the compiler's runtime, whose support
// differs between toolchains (one links a detector that reports nothing).
namespace protocols::cpu {

struct Features {
    bool ssse3 = false;
    bool sse4_1 = false;
    bool avx2 = false;
    bool avx512f = false;
    // Advanced SIMD: part of every AArch64 CPU that Linux runs on, still
    // taken from the kernel's word (AT_HWCAP) like the rest.
    bool neon = false;
};

// Queries the CPU on every call.
Features detect() noexcept;

// detect() once per process: what the loops are chosen by. A build with
// PROTOCOLS_SCALAR_LOOPS (the test switch PYVEXA_SCALAR_LOOPS) reports
// none, so every dispatcher runs its scalar loop.
const Features& features() noexcept;
bool scalar_loops_forced() noexcept;

}  // namespace protocols::cpu
