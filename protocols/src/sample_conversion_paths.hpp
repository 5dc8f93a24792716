// The separate loops behind convert_fractions, for the loop itself and its
// tests; the rest of the library calls convert_fractions only.
#pragma once

#include "protocols/sample_conversion.hpp"

namespace protocols::samples {

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
