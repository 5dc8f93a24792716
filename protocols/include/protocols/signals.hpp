// The signals a protocol can route to its channels and coils.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "protocols/sample_allocator.hpp"

namespace protocols::signals {

// Stored samples of an arbitrary signal: fractions scaled to 0..32767.
using SampleVector = std::vector<std::int16_t, SampleAllocator<std::int16_t>>;

struct ConstantSignalParams {
    double value = 0.0;
    friend bool operator==(const ConstantSignalParams&, const ConstantSignalParams&) = default;
};

struct SineSignalParams {
    double amplitude = 0.0;
    double frequency = 0.0;
    double phase = 0.0;
    double depth = 0.0;
    friend bool operator==(const SineSignalParams&, const SineSignalParams&) = default;
};

struct RampSignalParams {
    double peak = 0.0;
    double up_duration = 0.0;
    double down_duration = 0.0;
    friend bool operator==(const RampSignalParams&, const RampSignalParams&) = default;
};

struct MixedSignalParams {
    std::uint64_t a_idx = 0;  // positions in Settings::signals, never range-checked
    std::uint64_t b_idx = 0;
    friend bool operator==(const MixedSignalParams&, const MixedSignalParams&) = default;
};

struct ArbitrarySignalParams {
    SampleVector samples;
    friend bool operator==(const ArbitrarySignalParams&, const ArbitrarySignalParams&) = default;
};

// The alternative's index is the variant number stored in protocol files:
// Constant 0, Sine 1, Ramp 2, MixedSignal 3, Arbitrary 4.
using Signal = std::variant<ConstantSignalParams, SineSignalParams, RampSignalParams,
                            MixedSignalParams, ArbitrarySignalParams>;

// "Constant", "Sine", "Ramp", "MixedSignal" or "Arbitrary".
std::string_view variant_name(const Signal& signal) noexcept;

}  // namespace protocols::signals
