#include "protocols/sample_conversion.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PROTOCOLS_HAVE_X86_KERNELS 1
#endif

namespace protocols::samples {

namespace {

inline double load(const char* p) noexcept {
    double value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

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

// Converts 4 samples already known to be valid, exactly as
// to_stored_sample: truncate, then add one where the fraction reaches 1/2.
__attribute__((target("avx2"))) inline __m128i round_four(__m256d s) noexcept {
    const __m256d scaled = _mm256_mul_pd(s, _mm256_set1_pd(32767.0));
    const __m256d whole = _mm256_round_pd(scaled, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d round_up =
        _mm256_cmp_pd(_mm256_sub_pd(scaled, whole), _mm256_set1_pd(0.5), _CMP_GE_OQ);
    const __m256d rounded = _mm256_add_pd(whole, _mm256_and_pd(round_up, _mm256_set1_pd(1.0)));
    return _mm256_cvttpd_epi32(rounded);
}

__attribute__((target("avx2"))) inline __m128i round_eight(__m256d lo, __m256d hi) noexcept {
    return _mm_packs_epi32(round_four(lo), round_four(hi));  // values fit: 0..32767
}

// True when all 8 lanes lie in [0.0, 1.0]; NaN fails the ordered compares.
__attribute__((target("avx2"))) inline bool all_valid(__m256d lo, __m256d hi) noexcept {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    __m256d ok = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(lo, zero, _CMP_GE_OQ), _mm256_cmp_pd(lo, one, _CMP_LE_OQ)),
                               _mm256_and_pd(_mm256_cmp_pd(hi, zero, _CMP_GE_OQ), _mm256_cmp_pd(hi, one, _CMP_LE_OQ)));
    return _mm256_movemask_pd(ok) == 0xF;
}

__attribute__((target("avx2"))) inline void load_eight(const char* p, std::ptrdiff_t stride, __m256d& lo,
                                                       __m256d& hi) noexcept {
    if (stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        lo = _mm256_loadu_pd(reinterpret_cast<const double*>(p));
        hi = _mm256_loadu_pd(reinterpret_cast<const double*>(p + 32));
    } else {
        lo = _mm256_setr_pd(load(p), load(p + stride), load(p + 2 * stride), load(p + 3 * stride));
        p += 4 * stride;
        hi = _mm256_setr_pd(load(p), load(p + stride), load(p + 2 * stride), load(p + 3 * stride));
    }
}

#endif  // PROTOCOLS_HAVE_X86_KERNELS

}  // namespace

ConversionResult convert_fractions_scalar(const char* base, std::ptrdiff_t stride, std::size_t count,
                                          std::int16_t* out) noexcept {
    const char* p = base;
    for (std::size_t i = 0; i < count; ++i, p += stride) {
        double s = load(p);
        if (Fault fault = classify(s); fault != Fault::None) return {fault, i};
        out[i] = to_stored_sample(s);
    }
    return {Fault::None, count};
}

#ifdef PROTOCOLS_HAVE_X86_KERNELS

__attribute__((target("avx2"))) ConversionResult convert_fractions_vector(const char* base, std::ptrdiff_t stride,
                                                                        std::size_t count,
                                                                        std::int16_t* out) noexcept {
    std::size_t i = 0;
    const char* p = base;
    for (; i + 8 <= count; i += 8, p += 8 * stride) {
        __m256d lo, hi;
        load_eight(p, stride, lo, hi);
        if (!all_valid(lo, hi)) {
            // The scalar loop names the first bad sample of this block.
            ConversionResult block = convert_fractions_scalar(p, stride, 8, out + i);
            return {block.fault, i + block.index};
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), round_eight(lo, hi));
    }
    ConversionResult tail = convert_fractions_scalar(p, stride, count - i, out + i);
    return {tail.fault, i + tail.index};
}

bool vector_kernel_available() noexcept { return __builtin_cpu_supports("avx2"); }

#else

ConversionResult convert_fractions_vector(const char* base, std::ptrdiff_t stride, std::size_t count,
                                        std::int16_t* out) noexcept {
    return convert_fractions_scalar(base, stride, count, out);
}

bool vector_kernel_available() noexcept { return false; }

#endif

ConversionResult convert_fractions(const char* base, std::ptrdiff_t stride, std::size_t count,
                                   std::int16_t* out) noexcept {
    if (stride == 0 && count > 0) return convert_repeated(load(base), count, out);
    static const bool use_vector = vector_kernel_available();
    if (use_vector) return convert_fractions_vector(base, stride, count, out);
    return convert_fractions_scalar(base, stride, count, out);
}

}  // namespace protocols::samples
