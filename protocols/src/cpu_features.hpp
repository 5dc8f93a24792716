#pragma once

// The instruction sets the vector loops are written for, as this CPU has
// them and the operating system saves their registers. Read from CPUID
// directly rather than through the compiler's runtime, whose support
// differs between toolchains (one links a detector that reports nothing).
namespace protocols::cpu {

struct Features {
    bool ssse3 = false;
    bool sse4_1 = false;
    bool avx2 = false;
    bool avx512f = false;
};

// Queries the CPU on every call.
Features detect() noexcept;

// detect() once per process.
const Features& features() noexcept;

}  // namespace protocols::cpu
