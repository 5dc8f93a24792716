// Indented text form of every record: the record name, then one field per
// line in declaration order, four blanks per nesting level.
#pragma once

#include <string>

#include "protocols/lcsettings.hpp"
#include "protocols/machine_config.hpp"
#include "protocols/settings.hpp"
#include "protocols/signals.hpp"

namespace protocols::text {

// Shortest text that reads back to the same double: positional for 0 and
// magnitudes in [1e-4, 1e16) ("60.0", "0.3"), exponent form otherwise
// ("1e-5", "2.5e-7", "1e16"); "-0.0", "NaN", "inf", "-inf".
std::string format_double(double value);

// Quoted text with backslash escapes, e.g. "\"Default\"".
std::string quote(std::string_view text);

std::string to_text(const lcsettings::LCSetting& value);
std::string to_text(const lcsettings::Coil& value);
std::string to_text(const machine_config::MachineConfig& value);
std::string to_text(const signals::Signal& value);
std::string to_text(const settings::SignalSourceSelection& value);
std::string to_text(const settings::ChannelSettings& value);
std::string to_text(const settings::Settings& value);
std::string to_text(const Protocol& value);

}  // namespace protocols::text
