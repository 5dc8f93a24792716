// Error values of the protocol model.
#pragma once

#include <cstdint>
#include <string_view>

namespace protocols::error {

enum class VEXAError : std::uint8_t {
    OverCoilCurrent = 0,
    OverSupplyPower = 1,
    OverTemperature = 2,
    Underflow = 3,
    SPIError = 4,
    GPIOError = 5,
    I2cError = 6,
    TCPError = 7,
    ConfigError = 8,
    ProtocolError = 9,
    Unintialized = 10,  // the misspelling is part of the interface
};

// The variant's name, e.g. "ConfigError".
std::string_view to_string(VEXAError error) noexcept;

}  // namespace protocols::error
