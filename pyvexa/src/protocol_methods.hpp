// Channel enablement, source selection, session duration and intensity (the
// settings group), and the two sampling questions (the sampling group).
#pragma once

#include <cstdint>

#include "method_frame.hpp"

namespace pyvexa::methods {

void set_stimulation_intensity(ProtocolObject& protocol, double intensity);
void set_session_duration(ProtocolObject& protocol, double duration);
void enable_channel(ProtocolObject& protocol, const EnumArgument& channel);
void set_amplitude_source(ProtocolObject& protocol, const EnumArgument& coil, std::uint64_t index, bool external);
void set_modulation_source(ProtocolObject& protocol, const EnumArgument& channel, std::uint64_t index,
                           bool external);
// The session's sample count; panics unless the duration is above 0.
std::uint64_t get_num_samples(ProtocolObject& protocol);
double get_sampling_rate(ProtocolObject& protocol);

inline constexpr auto kSetStimulationIntensity =
    method<Exclusive>("set_stimulation_intensity", set_stimulation_intensity, param<arg_float>("intensity"));
inline constexpr auto kSetSessionDuration =
    method<Exclusive>("set_session_duration", set_session_duration, param<arg_float>("duration"));
inline constexpr auto kEnableChannel =
    method<Exclusive>("enable_channel", enable_channel, param<arg_channel>("channel"));
inline constexpr auto kSetAmplitudeSource =
    method<Exclusive>("set_amplitude_source", set_amplitude_source, param<arg_coil>("coil"),
                      param<arg_index>("index"), param<arg_flag>("external", false));
inline constexpr auto kSetModulationSource =
    method<Exclusive>("set_modulation_source", set_modulation_source, param<arg_channel>("channel"),
                      param<arg_index>("index"), param<arg_flag>("external", false));
// Exclusive although it only reads, like every method that counts.
inline constexpr auto kGetNumSamples = method<Exclusive>("get_num_samples", get_num_samples);
inline constexpr auto kGetSamplingRate = method<Shared>("get_sampling_rate", get_sampling_rate);

inline auto setting_entries() {
    return method_entries<kSetStimulationIntensity, kSetSessionDuration, kEnableChannel, kSetAmplitudeSource,
                          kSetModulationSource>();
}

inline auto sampling_entries() { return method_entries<kGetNumSamples, kGetSamplingRate>(); }

}  // namespace pyvexa::methods
