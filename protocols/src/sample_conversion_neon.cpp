// The vector conversion loops on aarch64, with NEON: two samples per
// register, the same blocks, load patterns and rescans as the x86 loops.
#include "sample_conversion_paths.hpp"

#if defined(__aarch64__)

#include <arm_neon.h>

#include "cpu_features.hpp"

namespace protocols::samples {

namespace {

// Two doubles from the 16 bytes at p, loaded as bytes: no alignment assumed.
inline float64x2_t load_two(const char* p) noexcept {
    return vreinterpretq_f64_u8(vld1q_u8(reinterpret_cast<const std::uint8_t*>(p)));
}

// Samples k and k + 1 of eight consecutive ones.
template <Layout L>
inline float64x2_t load_pair(const char* p, std::ptrdiff_t stride, std::ptrdiff_t k) noexcept {
    constexpr std::ptrdiff_t kDouble = sizeof(double);
    if constexpr (L == Layout::Contiguous) {
        return load_two(p + k * kDouble);
    } else if constexpr (L == Layout::Reversed) {
        // Samples k and k + 1 are the doubles at d[-k] and d[-k - 1].
        const float64x2_t v = load_two(p - (k + 1) * kDouble);
        return vextq_f64(v, v, 1);
    } else if constexpr (L == Layout::EveryOther) {
        // d[2k] and d[2k + 2]; the second load ends at the last one, since
        // d[2k + 3] may lie past the array.
        const float64x2_t a = load_two(p + 2 * k * kDouble);
        const float64x2_t b = load_two(p + (2 * k + 1) * kDouble);
        return vcopyq_laneq_f64(a, 1, b, 1);
    } else {
        return vsetq_lane_f64(load_sample(p + (k + 1) * stride), vdupq_n_f64(load_sample(p + k * stride)), 1);
    }
}

// Exactly as to_stored_sample for valid samples: the product rounded to
// nearest with halves away from zero, which FCVTAS does in one step.
inline int64x2_t round_two(float64x2_t s) noexcept {
    return vcvtaq_s64_f64(vmulq_f64(s, vdupq_n_f64(config::SAMPLE_FULL_SCALE)));
}

// All-ones lanes where a sample lies in [0.0, 1.0] (never for NaN).
inline uint64x2_t in_range(float64x2_t s) noexcept {
    return vandq_u64(vcgeq_f64(s, vdupq_n_f64(0.0)), vcleq_f64(s, vdupq_n_f64(1.0)));
}

inline bool all_in_range(uint64x2_t ok) noexcept { return vminvq_u32(vreinterpretq_u32_u64(ok)) == 0xFFFFFFFFu; }

// Converts eight samples into out[0..8), valid or not; returns the lanes
// in range.
template <Layout L>
inline uint64x2_t convert_eight(const char* p, std::ptrdiff_t stride, std::int16_t* out) noexcept {
    const float64x2_t s0 = load_pair<L>(p, stride, 0);
    const float64x2_t s1 = load_pair<L>(p, stride, 2);
    const float64x2_t s2 = load_pair<L>(p, stride, 4);
    const float64x2_t s3 = load_pair<L>(p, stride, 6);
    // Valid values fit: 0..32767.
    const int32x4_t lo = vmovn_high_s64(vmovn_s64(round_two(s0)), round_two(s1));
    const int32x4_t hi = vmovn_high_s64(vmovn_s64(round_two(s2)), round_two(s3));
    vst1q_s16(out, vqmovn_high_s32(vqmovn_s32(lo), hi));
    return vandq_u64(vandq_u64(in_range(s0), in_range(s1)), vandq_u64(in_range(s2), in_range(s3)));
}

template <Layout L>
ConversionResult convert_blocks(const char* base, std::ptrdiff_t stride, std::size_t count,
                                std::int16_t* out) noexcept {
    std::size_t i = 0;
    const char* p = base;
    for (; i + kVectorBlock <= count; i += kVectorBlock, p += static_cast<std::ptrdiff_t>(kVectorBlock) * stride) {
        uint64x2_t ok = vdupq_n_u64(~std::uint64_t{0});
        for (std::size_t j = 0; j < kVectorBlock; j += 8) {
            ok = vandq_u64(ok, convert_eight<L>(p + static_cast<std::ptrdiff_t>(j) * stride, stride, out + i + j));
        }
        if (!all_in_range(ok)) return rescan(base, stride, i, kVectorBlock, out);
    }
    // Short arrays and the rest of long ones, eight at a time.
    for (; i + 8 <= count; i += 8, p += 8 * stride) {
        if (!all_in_range(convert_eight<L>(p, stride, out + i))) return rescan(base, stride, i, 8, out);
    }
    if (i < count && count >= 8) {
        // The last eight, overlapping samples already done: those are valid
        // and are rewritten with the same values, so a failure here is
        // still the first one.
        const std::size_t last = count - 8;
        const char* q = base + static_cast<std::ptrdiff_t>(last) * stride;
        if (all_in_range(convert_eight<L>(q, stride, out + last))) return {Fault::None, count};
        return rescan(base, stride, last, 8, out);
    }
    return rescan(base, stride, i, count - i, out);
}

}  // namespace

ConversionResult convert_fractions_vector(const char* base, std::ptrdiff_t stride, std::size_t count,
                                          std::int16_t* out) noexcept {
    static const bool available = vector_kernel_available();
    return vector_or_scalar(available, base, stride, count, out, [&](auto layout) {
        return convert_blocks<decltype(layout)::value>(base, stride, count, out);
    });
}

bool vector_kernel_available() noexcept { return cpu::features().neon; }

// NEON has one register width: the wide loop is the one above.
ConversionResult convert_fractions_wide(const char* base, std::ptrdiff_t stride, std::size_t count,
                                        std::int16_t* out) noexcept {
    return convert_fractions_vector(base, stride, count, out);
}

bool wide_kernel_available() noexcept { return false; }

}  // namespace protocols::samples

#endif  // __aarch64__
