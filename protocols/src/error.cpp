#include "protocols/error.hpp"

namespace protocols::error {

std::string_view to_string(VEXAError error) noexcept {
    switch (error) {
        case VEXAError::OverCoilCurrent: return "OverCoilCurrent";
        case VEXAError::OverSupplyPower: return "OverSupplyPower";
        case VEXAError::OverTemperature: return "OverTemperature";
        case VEXAError::Underflow: return "Underflow";
        case VEXAError::SPIError: return "SPIError";
        case VEXAError::GPIOError: return "GPIOError";
        case VEXAError::I2cError: return "I2cError";
        case VEXAError::TCPError: return "TCPError";
        case VEXAError::ConfigError: return "ConfigError";
        case VEXAError::ProtocolError: return "ProtocolError";
        case VEXAError::Unintialized: return "Unintialized";
    }
    return "Unknown";
}

}  // namespace protocols::error
