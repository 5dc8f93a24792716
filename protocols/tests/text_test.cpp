#include "protocols/text.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>

namespace protocols::text {
namespace {

struct DoubleCase {
    double value;
    const char* text;
};

void PrintTo(const DoubleCase& c, std::ostream* os) { *os << c.text; }

class FormatDouble : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(FormatDouble, RendersShortestRoundTripText) {
    EXPECT_EQ(format_double(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatDouble,
    ::testing::Values(DoubleCase{60.0, "60.0"}, DoubleCase{0.3, "0.3"},
                      DoubleCase{22.624434389140273, "22.624434389140273"}, DoubleCase{0.0, "0.0"},
                      DoubleCase{-0.0, "-0.0"}, DoubleCase{1e-5, "1e-5"}, DoubleCase{2.5e-7, "2.5e-7"},
                      DoubleCase{-2.5e-7, "-2.5e-7"}, DoubleCase{1e16, "1e16"}, DoubleCase{1e21, "1e21"},
                      DoubleCase{1e-4, "0.0001"}, DoubleCase{0.00012345, "0.00012345"},
                      DoubleCase{9999999999999998.0, "9999999999999998.0"},
                      DoubleCase{1e15, "1000000000000000.0"}, DoubleCase{5e-324, "5e-324"},
                      DoubleCase{1.7976931348623157e308, "1.7976931348623157e308"},
                      DoubleCase{123456.789, "123456.789"}, DoubleCase{-1800.0, "-1800.0"},
                      DoubleCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      DoubleCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      DoubleCase{std::numeric_limits<double>::infinity(), "inf"},
                      DoubleCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(Quote, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(quote("Default"), "\"Default\"");
    EXPECT_EQ(quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quote(std::string("\n\r\t\0", 4)), "\"\\n\\r\\t\\0\"");
    EXPECT_EQ(quote("\x01\x1b\x7f"), "\"\\u{1}\\u{1b}\\u{7f}\"");
    EXPECT_EQ(quote("Spule \xc3\xa9"), "\"Spule \xc3\xa9\"");
}

// str(Protocol()) with VEXA_TARGET_MACHINE unset.
constexpr const char* kDefaultProtocolText = R"(
Protocol {
    settings: Settings {
        running_on_target_machine: false,
        machine_config: MachineConfig {
            supply_voltage: 80.0,
            num_coils: 2,
            coils: [
                Coil {
                    name: "Default",
                    inductance: 150.0,
                    max_current: 0.1,
                    max_carrier_frequency: 40.0,
                    settings: [
                        LCSetting {
                            capacitance: 330.0,
                            carrier_frequency: 22.624434389140273,
                            clk_ticks_per_sample: 221,
                            capacitor_bank_setting: 1,
                        },
                    ],
                },
            ],
            capacitors: [
                330.0,
            ],
            possible_capacitances: [
                330.0,
            ],
            num_external_signal_sources: 6,
            smbus_psu_connected: false,
            num_temperature_sensors: 0,
            num_flow_rate_sensors: 0,
            safety_checks_enabled: true,
            max_intensity_setpoint: 0.3,
            max_current: 0.5,
            max_carrier_frequency: 40.0,
            max_temperature: 40.0,
            min_flowrate: 70.0,
            max_power: 520.0,
        },
        intensity: 0.0,
        session_duration: 60.0,
        signals: [],
        channel_a_settings: ChannelSettings {
            enabled: true,
            amplitude1_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            amplitude2_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            modulation_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            coil_idx: 0,
            coil_setting_idx: 0,
        },
        channel_b_settings: ChannelSettings {
            enabled: false,
            amplitude1_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            amplitude2_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            modulation_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            coil_idx: 0,
            coil_setting_idx: 0,
        },
        monitor_trace_visible: [
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
        ],
        monitor_subsampling_factor: 1,
    },
})";

std::string default_text() { return std::string(kDefaultProtocolText + 1); }

Protocol empty_protocol() {
    ::unsetenv("VEXA_TARGET_MACHINE");
    Protocol protocol;
    protocol.settings.signals.clear();
    return protocol;
}

TEST(ProtocolText, DefaultProtocolMatchesReferenceText) {
    EXPECT_EQ(to_text(empty_protocol()), default_text());
}

TEST(ProtocolText, SignalsRenderAsVariantWithParameterRecord) {
    Protocol protocol = empty_protocol();
    protocol.settings.signals.push_back(signals::ConstantSignalParams{0.5});
    protocol.settings.signals.push_back(signals::SineSignalParams{1.0, 10.0, 0.0, 1.0});

    const std::string signals_text = R"(signals: [
            Constant(
                ConstantSignalParams {
                    value: 0.5,
                },
            ),
            Sine(
                SineSignalParams {
                    amplitude: 1.0,
                    frequency: 10.0,
                    phase: 0.0,
                    depth: 1.0,
                },
            ),
        ],)";
    std::string expected = default_text();
    const std::string empty_line = "signals: [],";
    expected.replace(expected.find(empty_line), empty_line.size(), signals_text);

    EXPECT_EQ(to_text(protocol), expected);
}

TEST(SignalText, ArbitrarySamplesOnePerLineWithSign) {
    signals::ArbitrarySignalParams params;
    for (std::int16_t s : {0, -1, 32767, -32768}) params.samples.push_back(s);
    EXPECT_EQ(to_text(signals::Signal{params}), R"(Arbitrary(
    ArbitrarySignalParams {
        samples: [
            0,
            -1,
            32767,
            -32768,
        ],
    },
))");
}

TEST(SignalText, EmptySampleListRendersOnFieldLine) {
    EXPECT_EQ(to_text(signals::Signal{signals::ArbitrarySignalParams{}}), R"(Arbitrary(
    ArbitrarySignalParams {
        samples: [],
    },
))");
}

TEST(SignalText, RampAndMixedSignal) {
    EXPECT_EQ(to_text(signals::Signal{signals::RampSignalParams{1.0, 0.25, 1e-5}}), R"(Ramp(
    RampSignalParams {
        peak: 1.0,
        up_duration: 0.25,
        down_duration: 1e-5,
    },
))");
    EXPECT_EQ(to_text(signals::Signal{signals::MixedSignalParams{3, 18446744073709551615u}}), R"(MixedSignal(
    MixedSignalParams {
        a_idx: 3,
        b_idx: 18446744073709551615,
    },
))");
}

TEST(RecordText, TopLevelRecordsStartAtColumnZero) {
    EXPECT_EQ(to_text(settings::SignalSourceSelection{2, 300, true}), R"(SignalSourceSelection {
    internal: 2,
    external: 300,
    external_selected: true,
})");
    EXPECT_EQ(to_text(lcsettings::LCSetting{330.0, 22.624434389140273, 221, 1}), R"(LCSetting {
    capacitance: 330.0,
    carrier_frequency: 22.624434389140273,
    clk_ticks_per_sample: 221,
    capacitor_bank_setting: 1,
})");
}

TEST(RecordText, EmptyCoilListsRenderAsBrackets) {
    machine_config::MachineConfig config;
    config.coils.clear();
    config.possible_capacitances.clear();
    const std::string text = to_text(config);
    EXPECT_NE(text.find("\n    coils: [],\n"), std::string::npos);
    EXPECT_NE(text.find("\n    possible_capacitances: [],\n"), std::string::npos);
    EXPECT_NE(text.find("\n    capacitors: [\n        330.0,\n    ],\n"), std::string::npos);
}

}  // namespace
}  // namespace protocols::text
