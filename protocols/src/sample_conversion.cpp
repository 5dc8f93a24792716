#include "sample_conversion_paths.hpp"

#include "cpu_features.hpp"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PROTOCOLS_HAVE_X86_KERNELS 1
#endif

namespace protocols::samples {

namespace {

// Classifies one sample; `!(s >= 0.0)` also catches NaN.
inline Fault classify(double s) noexcept {
    if (!(s >= 0.0)) return Fault::BelowZeroOrNaN;
    if (s > 1.0) return Fault::AboveOne;
    return Fault::None;
}

// A broadcast view repeats one value: test it once, then fill.
ConversionResult convert_repeated(double s, std::size_t count, std::int16_t* out) noexcept {
    if (Fault fault = classify(s); fault != Fault::None) return {fault, 0};
    std::fill_n(out, count, to_stored_sample(s));
    return {Fault::None, count};
}

#ifdef PROTOCOLS_HAVE_X86_KERNELS

// Software prefetch distance in samples (8 KB ahead when contiguous): the
// hardware prefetcher alone leaves the loop waiting on memory for large
// arrays, about half the time.
constexpr std::ptrdiff_t kPrefetchAhead = 1024;

// Converts 4 samples already known to be valid, exactly as
// to_stored_sample. For x = s * SAMPLE_FULL_SCALE >= 0.5, floor(x + 0.5)
// is exact even though the sum rounds (0.5 is a multiple of x's ulp, and a
// sum rounded up to the next power of two floors to the right integer);
// below 0.5 the sum may round up to 1, so those lanes are forced to 0.
__attribute__((target("avx2"))) inline __m128i round_four(__m256d s) noexcept {
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d scaled = _mm256_mul_pd(s, _mm256_set1_pd(config::SAMPLE_FULL_SCALE));
    const __m256d at_least_half = _mm256_cmp_pd(scaled, half, _CMP_GE_OQ);
    return _mm256_cvttpd_epi32(_mm256_and_pd(_mm256_add_pd(scaled, half), at_least_half));
}

// All-ones lanes where a sample is below 0.0, above 1.0 or NaN.
__attribute__((target("avx2"))) inline __m256d out_of_range(__m256d s) noexcept {
    return _mm256_or_pd(_mm256_cmp_pd(s, _mm256_setzero_pd(), _CMP_NGE_UQ),
                        _mm256_cmp_pd(s, _mm256_set1_pd(1.0), _CMP_GT_OQ));
}

// Loads samples 0-3 into lo and 4-7 into hi, in sample order, with the
// pattern of the layout.
template <Layout L>
__attribute__((target("avx2"))) inline void load_eight(const char* p, std::ptrdiff_t stride, __m256d& lo,
                                                       __m256d& hi) noexcept {
    const auto* d = reinterpret_cast<const double*>(p);
    if constexpr (L == Layout::Contiguous) {
        lo = _mm256_loadu_pd(d);
        hi = _mm256_loadu_pd(d + 4);
    } else if constexpr (L == Layout::Reversed) {
        // Samples 0-3 are the doubles at d[0], d[-1], d[-2], d[-3].
        lo = _mm256_permute4x64_pd(_mm256_loadu_pd(d - 3), _MM_SHUFFLE(0, 1, 2, 3));
        hi = _mm256_permute4x64_pd(_mm256_loadu_pd(d - 7), _MM_SHUFFLE(0, 1, 2, 3));
    } else if constexpr (L == Layout::EveryOther) {
        // Samples 0-7 are d[0], d[2], ..., d[14]; d[15] may lie past the
        // array, so each second load ends at the last sample it needs:
        // lanes 1 and 3 of [d3 d4 d5 d6] blended into [d0 d1 d2 d3] give
        // [s0 s2 s1 s3].
        lo = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_loadu_pd(d), _mm256_loadu_pd(d + 3), 0b1010),
                                   _MM_SHUFFLE(3, 1, 2, 0));
        hi = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_loadu_pd(d + 8), _mm256_loadu_pd(d + 11), 0b1010),
                                   _MM_SHUFFLE(3, 1, 2, 0));
    } else {
        lo = _mm256_setr_pd(load_sample(p), load_sample(p + stride), load_sample(p + 2 * stride),
                            load_sample(p + 3 * stride));
        p += 4 * stride;
        hi = _mm256_setr_pd(load_sample(p), load_sample(p + stride), load_sample(p + 2 * stride),
                            load_sample(p + 3 * stride));
    }
}

// Prefetches the cache lines of the block kPrefetchAhead samples on.
inline void prefetch_block(const char* p, std::ptrdiff_t stride) noexcept {
    constexpr std::ptrdiff_t kLine = 64;
    const char* ahead = p + kPrefetchAhead * stride;
    const std::ptrdiff_t step = stride < 0 ? -kLine : kLine;
    const std::ptrdiff_t lines = (static_cast<std::ptrdiff_t>(kVectorBlock) * (stride < 0 ? -stride : stride)) / kLine;
    for (std::ptrdiff_t line = 0; line < lines; ++line) _mm_prefetch(ahead + line * step, _MM_HINT_T0);
}

// Converts eight samples into out[0..8), valid or not; returns the lanes
// out of range.
template <Layout L>
__attribute__((target("avx2"))) inline __m256d convert_eight(const char* p, std::ptrdiff_t stride,
                                                             std::int16_t* out) noexcept {
    __m256d lo, hi;
    load_eight<L>(p, stride, lo, hi);
    // Values fit: 0..32767.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(round_four(lo), round_four(hi)));
    return _mm256_or_pd(out_of_range(lo), out_of_range(hi));
}

template <Layout L>
__attribute__((target("avx2"))) ConversionResult convert_blocks(const char* base, std::ptrdiff_t stride,
                                                                std::size_t count, std::int16_t* out) noexcept {
    std::size_t i = 0;
    const char* p = base;
    for (; i + kVectorBlock <= count; i += kVectorBlock, p += static_cast<std::ptrdiff_t>(kVectorBlock) * stride) {
        // Only inside the array: small arrays are in cache already, and a
        // prefetch into an unmapped page still costs a page walk.
        if constexpr (L != Layout::Any) {
            if (i + static_cast<std::size_t>(kPrefetchAhead) + kVectorBlock <= count) prefetch_block(p, stride);
        }
        __m256d bad = _mm256_setzero_pd();
        for (std::size_t j = 0; j < kVectorBlock; j += 8) {
            bad = _mm256_or_pd(bad, convert_eight<L>(p + static_cast<std::ptrdiff_t>(j) * stride, stride, out + i + j));
        }
        if (!_mm256_testz_pd(bad, bad)) return rescan(base, stride, i, kVectorBlock, out);
    }
    // Short arrays and the rest of long ones, eight at a time.
    for (; i + 8 <= count; i += 8, p += 8 * stride) {
        const __m256d bad = convert_eight<L>(p, stride, out + i);
        if (!_mm256_testz_pd(bad, bad)) return rescan(base, stride, i, 8, out);
    }
    if (i < count && count >= 8) {
        // The last eight, overlapping samples already done: those are valid
        // and are rewritten with the same values, so a failure here is
        // still the first one.
        const std::size_t last = count - 8;
        const char* q = base + static_cast<std::ptrdiff_t>(last) * stride;
        const __m256d bad = convert_eight<L>(q, stride, out + last);
        if (_mm256_testz_pd(bad, bad)) return {Fault::None, count};
        return rescan(base, stride, last, 8, out);
    }
    return rescan(base, stride, i, count - i, out);
}

// The AVX-512 loop for contiguous samples: twice the lanes, and range
// tests that yield mask registers directly. Same rounding as round_four.
#define PROTOCOLS_WIDE __attribute__((target("avx512f")))

PROTOCOLS_WIDE inline __mmask8 convert_sixteen(const double* d, std::int16_t* out) noexcept {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d scale = _mm512_set1_pd(config::SAMPLE_FULL_SCALE);
    const __m512d lo = _mm512_loadu_pd(d);
    const __m512d hi = _mm512_loadu_pd(d + 8);
    const __m512d scaled_lo = _mm512_mul_pd(lo, scale);
    const __m512d scaled_hi = _mm512_mul_pd(hi, scale);
    const __m256i lo32 = _mm512_maskz_cvttpd_epi32(_mm512_cmp_pd_mask(scaled_lo, half, _CMP_GE_OQ),
                                                   _mm512_add_pd(scaled_lo, half));
    const __m256i hi32 = _mm512_maskz_cvttpd_epi32(_mm512_cmp_pd_mask(scaled_hi, half, _CMP_GE_OQ),
                                                   _mm512_add_pd(scaled_hi, half));
    // Saturating pack per 128-bit lane, then the lanes back in order; valid
    // values fit in 0..32767. (The 512-bit narrowing intrinsics start from
    // an undefined register in GCC 12, which then warns.)
    const __m256i packed = _mm256_packs_epi32(lo32, hi32);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0)));
    return _mm512_cmp_pd_mask(lo, zero, _CMP_NGE_UQ) | _mm512_cmp_pd_mask(lo, one, _CMP_GT_OQ) |
           _mm512_cmp_pd_mask(hi, zero, _CMP_NGE_UQ) | _mm512_cmp_pd_mask(hi, one, _CMP_GT_OQ);
}

PROTOCOLS_WIDE ConversionResult convert_contiguous_wide(const char* base, std::size_t count,
                                                        std::int16_t* out) noexcept {
    constexpr std::ptrdiff_t kDouble = sizeof(double);
    const auto* d = reinterpret_cast<const double*>(base);
    std::size_t i = 0;
    for (; i + kVectorBlock <= count; i += kVectorBlock) {
        if (i + static_cast<std::size_t>(kPrefetchAhead) + kVectorBlock <= count) {
            prefetch_block(base + i * kDouble, kDouble);
        }
        if (convert_sixteen(d + i, out + i) | convert_sixteen(d + i + 16, out + i + 16)) {
            return rescan(base, kDouble, i, kVectorBlock, out);
        }
    }
    for (; i + 16 <= count; i += 16) {
        if (convert_sixteen(d + i, out + i)) return rescan(base, kDouble, i, 16, out);
    }
    if (i == count) return {Fault::None, count};
    if (count >= 16) {
        // The last sixteen, overlapping valid samples (see convert_blocks).
        const std::size_t last = count - 16;
        if (!convert_sixteen(d + last, out + last)) return {Fault::None, count};
        return rescan(base, kDouble, last, 16, out);
    }
    // Fewer than sixteen in all.
    return convert_blocks<Layout::Contiguous>(base, kDouble, count, out);
}

#endif  // PROTOCOLS_HAVE_X86_KERNELS

}  // namespace

ConversionResult convert_fractions_scalar(const char* base, std::ptrdiff_t stride, std::size_t count,
                                          std::int16_t* out) noexcept {
    const char* p = base;
    for (std::size_t i = 0; i < count; ++i, p += stride) {
        double s = load_sample(p);
        if (Fault fault = classify(s); fault != Fault::None) return {fault, i};
        out[i] = to_stored_sample(s);
    }
    return {Fault::None, count};
}

#ifdef PROTOCOLS_HAVE_X86_KERNELS

ConversionResult convert_fractions_vector(const char* base, std::ptrdiff_t stride, std::size_t count,
                                          std::int16_t* out) noexcept {
    static const bool available = vector_kernel_available();
    return vector_or_scalar(available, base, stride, count, out, [&](auto layout) {
        return convert_blocks<decltype(layout)::value>(base, stride, count, out);
    });
}

bool vector_kernel_available() noexcept { return cpu::features().avx2; }

ConversionResult convert_fractions_wide(const char* base, std::ptrdiff_t stride, std::size_t count,
                                        std::int16_t* out) noexcept {
    static const bool available = wide_kernel_available();
    if (available && stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        return convert_contiguous_wide(base, count, out);
    }
    return convert_fractions_vector(base, stride, count, out);
}

bool wide_kernel_available() noexcept { return cpu::features().avx512f && vector_kernel_available(); }

#elif !defined(__aarch64__)

// No vector loop for this architecture (aarch64 has its own file).
ConversionResult convert_fractions_vector(const char* base, std::ptrdiff_t stride, std::size_t count,
                                        std::int16_t* out) noexcept {
    return convert_fractions_scalar(base, stride, count, out);
}

bool vector_kernel_available() noexcept { return false; }

ConversionResult convert_fractions_wide(const char* base, std::ptrdiff_t stride, std::size_t count,
                                        std::int16_t* out) noexcept {
    return convert_fractions_scalar(base, stride, count, out);
}

bool wide_kernel_available() noexcept { return false; }

#endif

ConversionResult convert_fractions(const char* base, std::ptrdiff_t stride, std::size_t count,
                                   std::int16_t* out) noexcept {
    if (stride == 0 && count > 0) return convert_repeated(load_sample(base), count, out);
    return convert_fractions_wide(base, stride, count, out);
}

}  // namespace protocols::samples
