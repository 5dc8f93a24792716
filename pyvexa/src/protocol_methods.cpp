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

constexpr auto kSetStimulationIntensity = method<Exclusive>("set_stimulation_intensity", param<arg_float>("intensity"));
void set_stimulation_intensity(ProtocolObject& protocol, double intensity) {
    PYVEXA_ASSERT(intensity >= 0.0 && intensity <= 1.0, "intensity >= 0.0 && intensity <= 1.0");
    protocol.record.settings.intensity = intensity;
}

constexpr auto kSetSessionDuration = method<Exclusive>("set_session_duration", param<arg_float>("duration"));
void set_session_duration(ProtocolObject& protocol, double duration) {
    // The upper bound first, so NaN and +inf report it.
    PYVEXA_ASSERT(duration <= protocols::config::MAX_SESSION_DURATION, "duration <= config::MAX_SESSION_DURATION");
    PYVEXA_ASSERT(duration >= protocols::config::MIN_SESSION_DURATION, "duration >= 0.01");
    protocol.record.settings.session_duration = duration;
}

constexpr auto kEnableChannel = method<Exclusive>("enable_channel", param<arg_channel>("channel"));
void enable_channel(ProtocolObject& protocol, const EnumArgument& channel) {
    channel_settings(protocol.record.settings, channel.value).enabled = true;
}

constexpr auto kSetAmplitudeSource = method<Exclusive>(
    "set_amplitude_source", param<arg_coil>("coil"), param<arg_index>("index"), param<arg_flag>("external", false));
void set_amplitude_source(ProtocolObject& protocol, const EnumArgument& coil, std::uint64_t index, bool external) {
    select_source(amplitude_source(protocol.record.settings, coil.value), index, external);
}

constexpr auto kSetModulationSource = method<Exclusive>("set_modulation_source", param<arg_channel>("channel"),
                                                        param<arg_index>("index"), param<arg_flag>("external", false));
void set_modulation_source(ProtocolObject& protocol, const EnumArgument& channel, std::uint64_t index,
                           bool external) {
    select_source(channel_settings(protocol.record.settings, channel.value).modulation_source, index, external);
}

// Exclusive although it only reads, like every method that counts.
constexpr auto kGetNumSamples = method<Exclusive>("get_num_samples");
std::uint64_t get_num_samples(ProtocolObject& protocol) {
    double duration = protocol.record.settings.session_duration;
    PYVEXA_ASSERT(duration > 0.0, "self.settings.session_duration > 0.0");
    return protocols::config::sample_count(duration);
}

constexpr auto kGetSamplingRate = method<Shared>("get_sampling_rate");
double get_sampling_rate(ProtocolObject&) { return protocols::config::SAMPLING_RATE; }

}  // namespace

std::array<PyMethodDef, 5> setting_entries() {
    return {method_entry<kSetStimulationIntensity, set_stimulation_intensity>(),
            method_entry<kSetSessionDuration, set_session_duration>(), method_entry<kEnableChannel, enable_channel>(),
            method_entry<kSetAmplitudeSource, set_amplitude_source>(),
            method_entry<kSetModulationSource, set_modulation_source>()};
}

std::array<PyMethodDef, 2> sampling_entries() {
    return {method_entry<kGetNumSamples, get_num_samples>(), method_entry<kGetSamplingRate, get_sampling_rate>()};
}

}  // namespace pyvexa::methods
