// Coil records and the computation of their capacitor-bank tunings.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocols/error.hpp"
#include "protocols/expected.hpp"
#include "protocols/fields.hpp"

namespace protocols::lcsettings {

// One usable tuning of a coil with one bank capacitance.
struct LCSetting {
    double capacitance = 0.0;                  // nF
    double carrier_frequency = 0.0;            // kHz, as realised by the clock
    std::uint64_t clk_ticks_per_sample = 0;    // 160 MHz ticks per carrier sample
    std::uint64_t capacitor_bank_setting = 0;  // 1-based position in the candidate list

    static constexpr auto field_list = fields::describe("LCSetting", "capacitance", "carrier_frequency",
                                                        "clk_ticks_per_sample", "capacitor_bank_setting");
    friend bool operator==(const LCSetting&, const LCSetting&) = default;
};
static_assert(fields::lists_every_member<LCSetting>);

struct Coil {
    std::string name;
    double inductance = 0.0;             // µH
    double max_current = 0.0;
    double max_carrier_frequency = 0.0;  // kHz
    std::vector<LCSetting> settings;     // never empty for a coil made by make()

    // Computes the tunings from the candidate capacitances (nF); fails with
    // ConfigError, logging the coil's name, when none is usable.
    static Expected<Coil, error::VEXAError> make(std::string name, std::span<const double> capacitances,
                                                 double inductance, double max_current,
                                                 double max_carrier_frequency);

    // The default coil: "Default", 330 nF candidate, 150 µH, 0.1, 40 kHz.
    static Coil make_default();

    static constexpr auto field_list =
        fields::describe("Coil", "name", "inductance", "max_current", "max_carrier_frequency", "settings");
    friend bool operator==(const Coil&, const Coil&) = default;
};
static_assert(fields::lists_every_member<Coil>);

}  // namespace protocols::lcsettings
