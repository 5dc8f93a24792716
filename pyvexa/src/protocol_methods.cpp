// Channel enablement, source selection, session duration, intensity and the
// two sampling questions.
#include "method_frame.hpp"
#include "methods.hpp"
#include "protocols/config.hpp"

namespace pyvexa::methods {

namespace {

using protocols::settings::ChannelSettings;
using protocols::settings::Settings;
using protocols::settings::SignalSourceSelection;

ChannelSettings& channel_settings(Settings& settings, std::uint8_t channel) {
    return channel == 0 ? settings.channel_a_settings : settings.channel_b_settings;
}

// Coils A1, A2 drive channel A's first and second amplitude; B1, B2 channel B's.
SignalSourceSelection& amplitude_source(Settings& settings, std::uint8_t coil) {
    ChannelSettings& channel = channel_settings(settings, coil / 2);
    return coil % 2 == 0 ? channel.amplitude1_source : channel.amplitude2_source;
}

// Both indices are always written; the one not in force becomes 0.
void select_source(SignalSourceSelection& selection, std::uint64_t index, bool external) {
    selection = external ? SignalSourceSelection{0, index, true} : SignalSourceSelection{index, 0, false};
}

void set_stimulation_intensity(ProtocolObject& protocol, double intensity) {
    PYVEXA_ASSERT(intensity >= protocols::config::MIN_INTENSITY && intensity <= protocols::config::MAX_INTENSITY,
                  "intensity >= 0.0 && intensity <= 1.0");
    protocol.record.settings.intensity = intensity;
}
constexpr auto kSetStimulationIntensity = method<Exclusive>(
    "set_stimulation_intensity", set_stimulation_intensity, param<arg_float>("intensity"));

void set_session_duration(ProtocolObject& protocol, double duration) {
    // The upper bound first, so NaN and +inf report it.
    PYVEXA_ASSERT(duration <= protocols::config::MAX_SESSION_DURATION,
                  "duration <= config::MAX_SESSION_DURATION");
    PYVEXA_ASSERT(duration >= protocols::config::MIN_SESSION_DURATION, "duration >= 0.01");
    protocol.record.settings.session_duration = duration;
}
constexpr auto kSetSessionDuration =
    method<Exclusive>("set_session_duration", set_session_duration, param<arg_float>("duration"));

void enable_channel(ProtocolObject& protocol, const EnumArgument& channel) {
    channel_settings(protocol.record.settings, channel.value).enabled = true;
}
constexpr auto kEnableChannel =
    method<Exclusive>("enable_channel", enable_channel, param<arg_channel>("channel"));

void set_amplitude_source(ProtocolObject& protocol, const EnumArgument& coil, std::uint64_t index,
                          bool external) {
    select_source(amplitude_source(protocol.record.settings, coil.value), index, external);
}
constexpr auto kSetAmplitudeSource =
    method<Exclusive>("set_amplitude_source", set_amplitude_source, param<arg_coil>("coil"),
                      param<arg_index>("index"), param<arg_flag>("external", false));

void set_modulation_source(ProtocolObject& protocol, const EnumArgument& channel, std::uint64_t index,
                           bool external) {
    ChannelSettings& target = channel_settings(protocol.record.settings, channel.value);
    select_source(target.modulation_source, index, external);
}
constexpr auto kSetModulationSource =
    method<Exclusive>("set_modulation_source", set_modulation_source, param<arg_channel>("channel"),
                      param<arg_index>("index"), param<arg_flag>("external", false));

std::uint64_t get_num_samples(ProtocolObject& protocol) {
    double duration = protocol.record.settings.session_duration;
    PYVEXA_ASSERT(duration > 0.0, "self.settings.session_duration > 0.0");
    return protocols::config::sample_count(duration);
}
// Exclusive although it only reads, like every method that counts.
constexpr auto kGetNumSamples = method<Exclusive>("get_num_samples", get_num_samples);

double get_sampling_rate(ProtocolObject&) { return protocols::config::SAMPLING_RATE; }
constexpr auto kGetSamplingRate = method<Shared>("get_sampling_rate", get_sampling_rate);

}  // namespace

std::array<PyMethodDef, 5> setting_entries() {
    return method_entries<kSetStimulationIntensity, kSetSessionDuration, kEnableChannel, kSetAmplitudeSource,
                          kSetModulationSource>();
}

std::array<PyMethodDef, 2> sampling_entries() { return method_entries<kGetNumSamples, kGetSamplingRate>(); }

}  // namespace pyvexa::methods
