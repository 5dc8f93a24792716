#include "protocol_methods.hpp"

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

}  // namespace

void set_stimulation_intensity(ProtocolObject& protocol, double intensity) {
    PYVEXA_ASSERT(intensity >= protocols::config::MIN_INTENSITY && intensity <= protocols::config::MAX_INTENSITY,
                  "intensity >= 0.0 && intensity <= 1.0");
    protocol.record.settings.intensity = intensity;
}

void set_session_duration(ProtocolObject& protocol, double duration) {
    // The upper bound first, so NaN and +inf report it.
    PYVEXA_ASSERT(duration <= protocols::config::MAX_SESSION_DURATION,
                  "duration <= config::MAX_SESSION_DURATION");
    PYVEXA_ASSERT(duration >= protocols::config::MIN_SESSION_DURATION, "duration >= 0.01");
    protocol.record.settings.session_duration = duration;
}

void enable_channel(ProtocolObject& protocol, const EnumArgument& channel) {
    channel_settings(protocol.record.settings, channel.value).enabled = true;
}

void set_amplitude_source(ProtocolObject& protocol, const EnumArgument& coil, std::uint64_t index,
                          bool external) {
    select_source(amplitude_source(protocol.record.settings, coil.value), index, external);
}

void set_modulation_source(ProtocolObject& protocol, const EnumArgument& channel, std::uint64_t index,
                           bool external) {
    ChannelSettings& target = channel_settings(protocol.record.settings, channel.value);
    select_source(target.modulation_source, index, external);
}

std::uint64_t get_num_samples(ProtocolObject& protocol) {
    double duration = protocol.record.settings.session_duration;
    PYVEXA_ASSERT(duration > 0.0, "self.settings.session_duration > 0.0");
    return protocols::config::sample_count(duration);
}

double get_sampling_rate(ProtocolObject&) { return protocols::config::SAMPLING_RATE; }

}  // namespace pyvexa::methods
