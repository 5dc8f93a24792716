// Zigzag varint encoding of signed 16-bit samples, the bulk of large
// protocol files: a portable loop and a vector loop (SSSE3 on x86, NEON on
// aarch64) chosen at run time.
// Private to the library: the encoder is its only caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace protocols::postcard {

// Extra bytes past the 3-bytes-per-sample worst case that the encoder may
// scribble on (it stores whole 16-byte vectors).
inline constexpr std::size_t kSampleEncodeSlack = 16;

// Writes `count` samples at `out`, which has room for
// 3 * count + kSampleEncodeSlack bytes, and returns the bytes written.
// Reads samples[0..count) and nothing else.
std::size_t encode_samples(const std::int16_t* samples, std::size_t count, std::uint8_t* out) noexcept;

}  // namespace protocols::postcard
