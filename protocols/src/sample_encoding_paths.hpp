// The two loops behind encode_samples, for the loops themselves and their
// tests; the rest of the library calls encode_samples only.
#pragma once

#include "sample_encoding.hpp"

namespace protocols::postcard {

// Same contract as encode_samples.
std::size_t encode_samples_scalar(const std::int16_t* samples, std::size_t count, std::uint8_t* out) noexcept;
std::size_t encode_samples_vector(const std::int16_t* samples, std::size_t count, std::uint8_t* out) noexcept;
bool sample_vector_encoder_available() noexcept;

}  // namespace protocols::postcard
