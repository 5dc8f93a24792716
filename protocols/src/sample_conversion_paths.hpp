// The separate loops behind convert_fractions and the conversion of one
// sample, for the loops themselves and their tests; the rest of the library
// calls convert_fractions only.
#pragma once

#include <cstdint>

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

// The portable scalar loop, also used to check the vector paths.
ConversionResult convert_fractions_scalar(const char* base, std::ptrdiff_t stride, std::size_t count,
                                          std::int16_t* out) noexcept;

// The AVX2 loop (the scalar one where the CPU lacks AVX2), with a load
// pattern of its own for strides of 8, -8 and 16 bytes.
ConversionResult convert_fractions_vector(const char* base, std::ptrdiff_t stride, std::size_t count,
                                          std::int16_t* out) noexcept;
bool vector_kernel_available() noexcept;

// The AVX-512 loop for contiguous samples where the CPU has it, else the
// one above: what convert_fractions runs for any stride but 0.
ConversionResult convert_fractions_wide(const char* base, std::ptrdiff_t stride, std::size_t count,
                                        std::int16_t* out) noexcept;
bool wide_kernel_available() noexcept;

}  // namespace protocols::samples
