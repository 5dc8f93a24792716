// Description of the stimulation machine a protocol is meant for.
#pragma once

#include <cstdint>
#include <vector>

#include "protocols/lcsettings.hpp"

namespace protocols::machine_config {

struct MachineConfig {
    double supply_voltage = 80.0;
    std::uint64_t num_coils = 2;  // independent of coils.size() by design
    std::vector<lcsettings::Coil> coils{lcsettings::Coil::make_default()};
    std::vector<double> capacitors{330.0};
    std::vector<double> possible_capacitances{330.0};
    std::uint64_t num_external_signal_sources = 6;
    bool smbus_psu_connected = false;
    std::uint64_t num_temperature_sensors = 0;
    std::uint64_t num_flow_rate_sensors = 0;
    bool safety_checks_enabled = true;
    double max_intensity_setpoint = 0.3;
    double max_current = 0.5;
    double max_carrier_frequency = 40.0;
    double max_temperature = 40.0;
    double min_flowrate = 70.0;
    double max_power = 520.0;

    friend bool operator==(const MachineConfig&, const MachineConfig&) = default;
};

}  // namespace protocols::machine_config
