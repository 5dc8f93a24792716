// The signals a protocol can route to its channels and coils.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "protocols/fields.hpp"
#include "protocols/sample_allocator.hpp"

namespace protocols::signals {

// Stored samples of an arbitrary signal: fractions scaled to 0..32767.
using SampleVector = std::vector<std::int16_t, SampleAllocator<std::int16_t>>;

struct ConstantSignalParams {
    double value = 0.0;
    static constexpr auto field_list = fields::describe("ConstantSignalParams", "value");
    friend bool operator==(const ConstantSignalParams&, const ConstantSignalParams&) = default;
};
static_assert(fields::lists_every_member<ConstantSignalParams>);

struct SineSignalParams {
    double amplitude = 0.0;
    double frequency = 0.0;
    double phase = 0.0;
    double depth = 0.0;
    static constexpr auto field_list =
        fields::describe("SineSignalParams", "amplitude", "frequency", "phase", "depth");
    friend bool operator==(const SineSignalParams&, const SineSignalParams&) = default;
};
static_assert(fields::lists_every_member<SineSignalParams>);

struct RampSignalParams {
    double peak = 0.0;
    double up_duration = 0.0;
    double down_duration = 0.0;
    static constexpr auto field_list =
        fields::describe("RampSignalParams", "peak", "up_duration", "down_duration");
    friend bool operator==(const RampSignalParams&, const RampSignalParams&) = default;
};
static_assert(fields::lists_every_member<RampSignalParams>);

struct MixedSignalParams {
    std::uint64_t a_idx = 0;  // positions in Settings::signals, never range-checked
    std::uint64_t b_idx = 0;
    static constexpr auto field_list = fields::describe("MixedSignalParams", "a_idx", "b_idx");
    friend bool operator==(const MixedSignalParams&, const MixedSignalParams&) = default;
};
static_assert(fields::lists_every_member<MixedSignalParams>);

struct ArbitrarySignalParams {
    SampleVector samples;
    static constexpr auto field_list = fields::describe("ArbitrarySignalParams", "samples");
    friend bool operator==(const ArbitrarySignalParams&, const ArbitrarySignalParams&) = default;
};
static_assert(fields::lists_every_member<ArbitrarySignalParams>);

// The alternative's index is the variant number stored in protocol files.
using Signal = std::variant<ConstantSignalParams, SineSignalParams, RampSignalParams,
                            MixedSignalParams, ArbitrarySignalParams>;

// The variants' names, indexed by variant number.
inline constexpr std::array<std::string_view, 5> SIGNAL_VARIANT_NAMES{"Constant", "Sine", "Ramp", "MixedSignal",
                                                                      "Arbitrary"};
static_assert(SIGNAL_VARIANT_NAMES.size() == std::variant_size_v<Signal>);

// The name of the signal's variant, e.g. "MixedSignal".
std::string_view variant_name(const Signal& signal) noexcept;

}  // namespace protocols::signals
