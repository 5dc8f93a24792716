// The separate loops behind convert_fractions and the conversion of one
// sample, for the loops themselves and their tests; the rest of the library
// calls convert_fractions only.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "protocols/config.hpp"
#include "protocols/sample_conversion.hpp"

namespace protocols::samples {

static_assert(config::SAMPLE_FULL_SCALE <= 32767.0, "stored samples are signed 16-bit");

// Stored value of one valid fraction.
inline std::int16_t to_stored_sample(double fraction) noexcept {
    // The product lies in [0, SAMPLE_FULL_SCALE]. Truncate, then round up
    // when the (exactly computed) fraction is at least one half;
    // floor(x + 0.5) would be wrong for 0.49999999999999994, where the sum
    // rounds to 1.
    double scaled = fraction * config::SAMPLE_FULL_SCALE;
    std::int32_t whole = static_cast<std::int32_t>(scaled);
    whole += (scaled - static_cast<double>(whole)) >= 0.5;
    return static_cast<std::int16_t>(whole);
}

// One sample of any alignment.
inline double load_sample(const char* p) noexcept {
    double value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// The portable scalar loop, also used to check the vector paths.
ConversionResult convert_fractions_scalar(const char* base, std::ptrdiff_t stride, std::size_t count,
                                          std::int16_t* out) noexcept;

// Samples per block of the vector loops: the range test of a whole block
// is folded into one branch, and a failing block is rescanned by the scalar
// loop, which names the first bad sample.
inline constexpr std::size_t kVectorBlock = 32;

// Scalar pass over samples [first, first + n) of the array: names the first
// bad one, with its index in the whole array.
inline ConversionResult rescan(const char* base, std::ptrdiff_t stride, std::size_t first, std::size_t n,
                               std::int16_t* out) noexcept {
    const ConversionResult part =
        convert_fractions_scalar(base + static_cast<std::ptrdiff_t>(first) * stride, stride, n, out + first);
    return {part.fault, first + part.index};
}

// How a vector loop loads its samples: strides of 8, -8 and 16 bytes have
// a pattern of their own.
enum class Layout { Contiguous, Reversed, EveryOther, Any };
template <Layout L>
using LayoutTag = std::integral_constant<Layout, L>;

// blocks(LayoutTag<L>{}) for the layout of `stride` where the CPU has the
// vector loop, else the scalar loop.
template <typename Blocks>
ConversionResult vector_or_scalar(bool available, const char* base, std::ptrdiff_t stride, std::size_t count,
                                  std::int16_t* out, Blocks&& blocks) noexcept {
    if (!available) return convert_fractions_scalar(base, stride, count, out);
    constexpr std::ptrdiff_t kDouble = sizeof(double);
    if (stride == kDouble) return blocks(LayoutTag<Layout::Contiguous>{});
    if (stride == -kDouble) return blocks(LayoutTag<Layout::Reversed>{});
    if (stride == 2 * kDouble) return blocks(LayoutTag<Layout::EveryOther>{});
    return blocks(LayoutTag<Layout::Any>{});
}

// The AVX2 loop on x86, the NEON loop on aarch64 (the scalar one where the
// CPU lacks them), with a load pattern of its own for strides of 8, -8 and
// 16 bytes.
ConversionResult convert_fractions_vector(const char* base, std::ptrdiff_t stride, std::size_t count,
                                          std::int16_t* out) noexcept;
bool vector_kernel_available() noexcept;

// The AVX-512 loop for contiguous samples where the CPU has it, else the
// one above (always on aarch64): what convert_fractions runs for any
// stride but 0.
ConversionResult convert_fractions_wide(const char* base, std::ptrdiff_t stride, std::size_t count,
                                        std::int16_t* out) noexcept;
bool wide_kernel_available() noexcept;

}  // namespace protocols::samples
