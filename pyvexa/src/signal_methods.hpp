// Appending signals (the signals group); each method returns the new
// signal's index.
#pragma once

#include <cstddef>
#include <cstdint>

#include "method_frame.hpp"
#include "sample_array.hpp"

namespace pyvexa::methods {

// The sample-array argument; a refused object raises the argument's TypeError.
SampleArray arg_samples(PyObject* obj, const char* name);

std::size_t add_constant_signal(ProtocolObject& protocol, double value);
std::size_t add_sine_signal(ProtocolObject& protocol, double amplitude, double frequency, double phase,
                            double depth);
std::size_t add_ramp_signal(ProtocolObject& protocol, double peak, double up_duration, double down_duration);
std::size_t add_mixed_signal(ProtocolObject& protocol, std::uint64_t a_idx, std::uint64_t b_idx);
// The array stays registered as read until the call returns.
std::size_t add_arbitrary_signal(ProtocolObject& protocol, const SampleArray& samples);

inline constexpr auto kAddConstantSignal =
    method<Exclusive>("add_constant_signal", add_constant_signal, param<arg_float>("value"));
inline constexpr auto kAddSineSignal =
    method<Exclusive>("add_sine_signal", add_sine_signal, param<arg_float>("amplitude"),
                      param<arg_float>("frequency"), param<arg_float>("phase", 0.0),
                      param<arg_float>("depth", 1.0));
inline constexpr auto kAddRampSignal =
    method<Exclusive>("add_ramp_signal", add_ramp_signal, param<arg_float>("peak"),
                      param<arg_float>("up_duration"), param<arg_float>("down_duration"));
inline constexpr auto kAddMixedSignal = method<Exclusive>("add_mixed_signal", add_mixed_signal,
                                                          param<arg_index>("a_idx"), param<arg_index>("b_idx"));
inline constexpr auto kAddArbitrarySignal =
    method<Exclusive>("add_arbitrary_signal", add_arbitrary_signal, param<arg_samples>("samples"));

inline auto signal_entries() {
    return method_entries<kAddConstantSignal, kAddSineSignal, kAddRampSignal, kAddMixedSignal,
                          kAddArbitrarySignal>();
}

}  // namespace pyvexa::methods
