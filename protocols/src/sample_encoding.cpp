#include "sample_encoding_paths.hpp"

#include "cpu_features.hpp"
#include "sample_encoding_tables.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PROTOCOLS_HAVE_X86_KERNELS 1
#endif

namespace protocols::postcard {

std::size_t encode_samples_scalar(const std::int16_t* samples, std::size_t count, std::uint8_t* out) noexcept {
    // All three candidate bytes are stored and the pointer advances by the
    // real length: no data-dependent branch per sample.
    std::uint8_t* p = out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t n = samples[i];
        const std::uint32_t z =
            static_cast<std::uint16_t>(static_cast<std::uint16_t>(n << 1) ^ static_cast<std::uint16_t>(n >> 15));
        const std::uint32_t more1 = z >= 0x80;
        const std::uint32_t more2 = z >= 0x4000;
        p[0] = static_cast<std::uint8_t>((z & 0x7F) | (more1 << 7));
        p[1] = static_cast<std::uint8_t>(((z >> 7) & 0x7F) | (more2 << 7));
        p[2] = static_cast<std::uint8_t>(z >> 14);
        p += 1 + more1 + more2;
    }
    return static_cast<std::size_t>(p - out);
}

#ifdef PROTOCOLS_HAVE_X86_KERNELS

__attribute__((target("ssse3,sse4.1"))) std::size_t encode_samples_vector(const std::int16_t* samples,
                                                                          std::size_t count,
                                                                          std::uint8_t* out) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(-1);
    const __m128i low7 = _mm_set1_epi16(0x7F);
    const __m128i continuation = _mm_set1_epi16(0x80);
    std::uint8_t* p = out;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i n = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
        const __m128i z = _mm_xor_si128(_mm_slli_epi16(n, 1), _mm_srai_epi16(n, 15));
        const __m128i above7 = _mm_srli_epi16(z, 7);
        const __m128i byte2 = _mm_srli_epi16(z, 14);
        const __m128i more1 = _mm_xor_si128(_mm_cmpeq_epi16(above7, zero), ones);
        const __m128i more2 = _mm_xor_si128(_mm_cmpeq_epi16(byte2, zero), ones);
        const __m128i byte0 = _mm_or_si128(_mm_and_si128(z, low7), _mm_and_si128(more1, continuation));
        const __m128i byte1 = _mm_or_si128(_mm_and_si128(above7, low7), _mm_and_si128(more2, continuation));
        const __m128i pair = _mm_or_si128(byte0, _mm_slli_epi16(byte1, 8));
        const __m128i first = _mm_unpacklo_epi16(pair, byte2);  // samples 0..3 as [b0 b1 b2 0]
        const __m128i second = _mm_unpackhi_epi16(pair, byte2);
        const unsigned m1 = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(more1, zero)));
        const unsigned m2 = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(more2, zero)));
        const unsigned key0 = (m1 & 0xF) | ((m2 & 0xF) << 4);
        const unsigned key1 = ((m1 >> 4) & 0xF) | (m2 & 0xF0);
        const __m128i shuffle0 = _mm_load_si128(reinterpret_cast<const __m128i*>(kPack.shuffle[key0].data()));
        const __m128i shuffle1 = _mm_load_si128(reinterpret_cast<const __m128i*>(kPack.shuffle[key1].data()));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(first, shuffle0));
        p += kPack.length[key0];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(second, shuffle1));
        p += kPack.length[key1];
    }
    p += encode_samples_scalar(samples + i, count - i, p);
    return static_cast<std::size_t>(p - out);
}

bool sample_vector_encoder_available() noexcept {
    return cpu::features().ssse3 && cpu::features().sse4_1;
}

#elif !defined(__aarch64__)

// No vector loop for this architecture (aarch64 has its own file).
std::size_t encode_samples_vector(const std::int16_t* samples, std::size_t count, std::uint8_t* out) noexcept {
    return encode_samples_scalar(samples, count, out);
}

bool sample_vector_encoder_available() noexcept { return false; }

#endif

std::size_t encode_samples(const std::int16_t* samples, std::size_t count, std::uint8_t* out) noexcept {
    static const bool use_vector = sample_vector_encoder_available();
    return use_vector ? encode_samples_vector(samples, count, out) : encode_samples_scalar(samples, count, out);
}

}  // namespace protocols::postcard
