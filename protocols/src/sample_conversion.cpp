#include "protocols/sample_conversion.hpp"

#include <cstring>

namespace protocols::samples {

namespace {

inline double load(const char* p) noexcept {
    double value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Classifies one sample; `!(s >= 0.0)` also catches NaN.
inline Fault classify(double s) noexcept {
    if (!(s >= 0.0)) return Fault::BelowZeroOrNaN;
    if (s > 1.0) return Fault::AboveOne;
    return Fault::None;
}

}  // namespace

ConversionResult convert_fractions_scalar(const char* base, std::ptrdiff_t stride, std::size_t count,
                                          std::int16_t* out) noexcept {
    const char* p = base;
    for (std::size_t i = 0; i < count; ++i, p += stride) {
        double s = load(p);
        if (Fault fault = classify(s); fault != Fault::None) return {fault, i};
        out[i] = to_stored_sample(s);
    }
    return {Fault::None, count};
}

ConversionResult convert_fractions(const char* base, std::ptrdiff_t stride, std::size_t count,
                                   std::int16_t* out) noexcept {
    return convert_fractions_scalar(base, stride, count, out);
}

}  // namespace protocols::samples
