#include "protocols/config.hpp"

#include <cmath>
#include <limits>

namespace protocols::config {

std::uint64_t saturating_to_u64(double value) noexcept {
    // 2^64 is exactly representable; everything at or above it saturates.
    constexpr double two_pow_64 = 18446744073709551616.0;
    if (!(value > 0.0)) return 0;
    if (value >= two_pow_64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

std::uint64_t sample_count(double session_duration) noexcept {
    const double product = session_duration * SAMPLING_RATE;
    return saturating_to_u64(std::ceil(product));
}

}  // namespace protocols::config
