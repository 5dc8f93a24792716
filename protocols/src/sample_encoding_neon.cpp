// The vector sample encoder on aarch64, with NEON: the SSSE3 loop's steps,
// eight samples at a time, packed by TBL through the same tables.
#include "sample_encoding_paths.hpp"

#if defined(__aarch64__)

#include <arm_neon.h>

#include "cpu_features.hpp"
#include "sample_encoding_tables.hpp"

namespace protocols::postcard {

std::size_t encode_samples_vector(const std::int16_t* samples, std::size_t count, std::uint8_t* out) noexcept {
    const uint16x8_t low7 = vdupq_n_u16(0x7F);
    const uint16x8_t continuation = vdupq_n_u16(0x80);
    // One bit per lane, summed into the lanes' mask.
    const uint16x8_t lane_bits = {1, 2, 4, 8, 16, 32, 64, 128};
    std::uint8_t* p = out;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const int16x8_t n = vld1q_s16(samples + i);
        const uint16x8_t z =
            veorq_u16(vreinterpretq_u16_s16(vshlq_n_s16(n, 1)), vreinterpretq_u16_s16(vshrq_n_s16(n, 15)));
        const uint16x8_t above7 = vshrq_n_u16(z, 7);
        const uint16x8_t byte2 = vshrq_n_u16(z, 14);
        const uint16x8_t more1 = vtstq_u16(above7, above7);
        const uint16x8_t more2 = vtstq_u16(byte2, byte2);
        const uint16x8_t byte0 = vorrq_u16(vandq_u16(z, low7), vandq_u16(more1, continuation));
        const uint16x8_t byte1 = vorrq_u16(vandq_u16(above7, low7), vandq_u16(more2, continuation));
        const uint16x8_t pair = vorrq_u16(byte0, vshlq_n_u16(byte1, 8));
        const uint8x16_t first = vreinterpretq_u8_u16(vzip1q_u16(pair, byte2));  // samples 0..3 as [b0 b1 b2 0]
        const uint8x16_t second = vreinterpretq_u8_u16(vzip2q_u16(pair, byte2));
        const unsigned m1 = vaddvq_u16(vandq_u16(more1, lane_bits));
        const unsigned m2 = vaddvq_u16(vandq_u16(more2, lane_bits));
        const unsigned key0 = (m1 & 0xF) | ((m2 & 0xF) << 4);
        const unsigned key1 = ((m1 >> 4) & 0xF) | (m2 & 0xF0);
        vst1q_u8(p, vqtbl1q_u8(first, vld1q_u8(kPack.shuffle[key0].data())));
        p += kPack.length[key0];
        vst1q_u8(p, vqtbl1q_u8(second, vld1q_u8(kPack.shuffle[key1].data())));
        p += kPack.length[key1];
    }
    p += encode_samples_scalar(samples + i, count - i, p);
    return static_cast<std::size_t>(p - out);
}

bool sample_vector_encoder_available() noexcept { return cpu::features().neon; }

}  // namespace protocols::postcard

#endif  // __aarch64__
