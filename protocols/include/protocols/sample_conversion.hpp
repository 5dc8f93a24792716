// Conversion of sample fractions (doubles from 0.0 to 1.0) to stored
// signed 16-bit samples: round(s * 32767.0), halves away from zero.
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

// Stored value of one valid fraction.
inline std::int16_t to_stored_sample(double fraction) noexcept {
    // The product lies in [0, 32767]. Truncate, then round up when the
    // (exactly computed) fraction is at least one half; floor(x + 0.5)
    // would be wrong for 0.49999999999999994, where the sum rounds to 1.
    double scaled = fraction * 32767.0;
    std::int32_t whole = static_cast<std::int32_t>(scaled);
    whole += (scaled - static_cast<double>(whole)) >= 0.5;
    return static_cast<std::int16_t>(whole);
}

}  // namespace protocols::samples
