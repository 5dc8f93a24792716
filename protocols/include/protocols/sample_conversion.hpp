// Conversion of sample fractions (doubles from 0.0 to 1.0) to stored
// signed 16-bit samples: round(s * config::SAMPLE_FULL_SCALE), halves away
// from zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace protocols::samples {

enum class Fault : std::uint8_t {
    None,
    BelowZeroOrNaN,  // s < 0.0 or NaN
    AboveOne,        // s > 1.0
};

struct ConversionResult {
    Fault fault;
    std::size_t index;  // first bad sample when fault != None
};

// Converts `count` doubles read at `base + i * stride` (bytes, any sign,
// zero included, possibly unaligned) into out[0..count). Stops at the first
// bad sample; the order of the tests per sample is "< 0.0 or NaN" first.
// Reads no byte outside the elements' own span, whatever the loop chosen.
ConversionResult convert_fractions(const char* base, std::ptrdiff_t stride, std::size_t count,
                                   std::int16_t* out) noexcept;

}  // namespace protocols::samples
