// Constants shared by the protocol model and the Python module.
#pragma once

#include <cstdint>

namespace protocols::config {

// Signal samples per second of every arbitrary signal.
inline constexpr double SAMPLING_RATE = 5000.0;
// Longest session the setter accepts, in seconds.
inline constexpr double MAX_SESSION_DURATION = 1800.0;
// Shortest session the setter accepts, in seconds.
inline constexpr double MIN_SESSION_DURATION = 0.01;
// Lowest and highest intensity the setter accepts, fractions of full scale.
inline constexpr double MIN_INTENSITY = 0.0;
inline constexpr double MAX_INTENSITY = 1.0;
// Full-scale value a sample fraction of 1.0 is scaled to.
inline constexpr double SAMPLE_FULL_SCALE = 32767.0;

// Ceiling of duration * SAMPLING_RATE as an unsigned 64-bit count; the
// conversion saturates (NaN and negatives give 0) like a float-to-int cast
// that never overflows.
std::uint64_t sample_count(double session_duration) noexcept;

// A float-to-unsigned cast that never overflows: truncates toward zero,
// NaN and negatives give 0, values from 2^64 up give UINT64_MAX.
std::uint64_t saturating_to_u64(double value) noexcept;

}  // namespace protocols::config
