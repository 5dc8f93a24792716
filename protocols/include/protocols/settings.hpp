// The complete content of one stimulation protocol.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "protocols/machine_config.hpp"
#include "protocols/signals.hpp"

namespace protocols::settings {

struct SignalSourceSelection {
    std::uint64_t internal = 0;  // signal position, in force when !external_selected
    std::uint64_t external = 0;  // external input number, in force when external_selected
    bool external_selected = false;
    friend bool operator==(const SignalSourceSelection&, const SignalSourceSelection&) = default;
};

struct ChannelSettings {
    bool enabled = false;
    SignalSourceSelection amplitude1_source;
    SignalSourceSelection amplitude2_source;
    SignalSourceSelection modulation_source;
    std::uint64_t coil_idx = 0;
    std::uint64_t coil_setting_idx = 0;
    friend bool operator==(const ChannelSettings&, const ChannelSettings&) = default;
};

// True when VEXA_TARGET_MACHINE is set to a valid UTF-8 value (any value,
// the empty one included).
bool running_on_target_machine_from_env();

struct Settings {
    // Default construction reads VEXA_TARGET_MACHINE once, here.
    Settings();

    bool running_on_target_machine = false;
    machine_config::MachineConfig machine_config;
    double intensity = 0.0;
    double session_duration = 60.0;
    // A deque: appending never relocates the signals already stored, so a
    // protocol of thousands of signals grows without copying spikes.
    std::deque<signals::Signal> signals{signals::ConstantSignalParams{0.0}};
    // Every member spelled out: GCC 12 warns on designated initialisers
    // that leave members to their default initialisers.
    ChannelSettings channel_a_settings{true, {}, {}, {}, 0, 0};
    ChannelSettings channel_b_settings{false, {}, {}, {}, 0, 0};
    std::array<bool, 16> monitor_trace_visible{};
    std::uint64_t monitor_subsampling_factor = 1;

    friend bool operator==(const Settings&, const Settings&) = default;
};

}  // namespace protocols::settings

namespace protocols {

// What a Python Protocol object holds.
struct Protocol {
    settings::Settings settings;
    friend bool operator==(const Protocol&, const Protocol&) = default;
};

}  // namespace protocols
