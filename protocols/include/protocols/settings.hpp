// The complete content of one stimulation protocol.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "protocols/fields.hpp"
#include "protocols/machine_config.hpp"
#include "protocols/signals.hpp"

namespace protocols::settings {

struct SignalSourceSelection {
    std::uint64_t internal = 0;  // signal position, in force when !external_selected
    std::uint64_t external = 0;  // external input number, in force when external_selected
    bool external_selected = false;
    static constexpr auto field_list =
        fields::describe("SignalSourceSelection", "internal", "external", "external_selected");
    friend bool operator==(const SignalSourceSelection&, const SignalSourceSelection&) = default;
};
static_assert(fields::lists_every_member<SignalSourceSelection>);

struct ChannelSettings {
    bool enabled = false;
    SignalSourceSelection amplitude1_source;
    SignalSourceSelection amplitude2_source;
    SignalSourceSelection modulation_source;
    std::uint64_t coil_idx = 0;
    std::uint64_t coil_setting_idx = 0;
    static constexpr auto field_list =
        fields::describe("ChannelSettings", "enabled", "amplitude1_source", "amplitude2_source",
                         "modulation_source", "coil_idx", "coil_setting_idx");
    friend bool operator==(const ChannelSettings&, const ChannelSettings&) = default;
};
static_assert(fields::lists_every_member<ChannelSettings>);

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

    static constexpr auto field_list =
        fields::describe("Settings", "running_on_target_machine", "machine_config", "intensity",
                         "session_duration", "signals", "channel_a_settings", "channel_b_settings",
                         "monitor_trace_visible", "monitor_subsampling_factor");
    friend bool operator==(const Settings&, const Settings&) = default;
};
static_assert(fields::lists_every_member<Settings>);

}  // namespace protocols::settings

namespace protocols {

// What a Python Protocol object holds.
struct Protocol {
    settings::Settings settings;
    static constexpr auto field_list = fields::describe("Protocol", "settings");
    friend bool operator==(const Protocol&, const Protocol&) = default;
};
static_assert(fields::lists_every_member<Protocol>);

}  // namespace protocols
