#include "protocols/text.hpp"

#include <charconv>
#include <cmath>
#include <deque>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace protocols::text {

namespace {

constexpr std::size_t kIndentWidth = 4;

// Shortest round-trip digits of a finite, non-zero magnitude, and the
// decimal exponent of the first digit (value = d.ddd * 10^exponent).
struct ShortestDigits {
    char digits[32];
    std::size_t count = 0;
    int exponent = 0;
};

ShortestDigits shortest_digits(double magnitude) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));

    ShortestDigits out;
    const std::size_t e_pos = text.find('e');
    for (char c : text.substr(0, e_pos)) {
        if (c != '.') out.digits[out.count++] = c;
    }
    std::string_view exponent_text = text.substr(e_pos + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), out.exponent);
    return out;
}

void append_positional(std::string& out, const ShortestDigits& d) {
    const std::string_view digits(d.digits, d.count);
    const int count = static_cast<int>(d.count);
    if (d.exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += digits;
    } else if (d.exponent >= count - 1) {
        out += digits;
        out.append(static_cast<std::size_t>(d.exponent - (count - 1)), '0');
        out += ".0";
    } else {
        const auto integer_digits = static_cast<std::size_t>(d.exponent + 1);
        out += digits.substr(0, integer_digits);
        out += '.';
        out += digits.substr(integer_digits);
    }
}

void append_exponent(std::string& out, const ShortestDigits& d) {
    out += d.digits[0];
    if (d.count > 1) {
        out += '.';
        out.append(d.digits + 1, d.count - 1);
    }
    out += 'e';
    out += std::to_string(d.exponent);
}

void append_double(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::signbit(value)) out += '-';
    const double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) {
        out += "inf";
        return;
    }
    if (magnitude == 0.0) {
        out += "0.0";
        return;
    }
    const ShortestDigits digits = shortest_digits(magnitude);
    if (magnitude >= 1e-4 && magnitude < 1e16) {
        append_positional(out, digits);
    } else {
        append_exponent(out, digits);
    }
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void append_hex(std::string& out, unsigned value) {
    char buffer[8];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    out.append(buffer, result.ptr);
}

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        // C0 controls, DEL, and the C1 controls U+0080..U+009F (C2 80..C2 9F).
        const bool c1_control = byte == 0xC2 && i + 1 < text.size() &&
                                static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                                static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F || c1_control) {
            const unsigned code = c1_control ? static_cast<unsigned char>(text[++i]) : byte;
            out += "\\u{";
            append_hex(out, code);
            out += '}';
            continue;
        }
        out += static_cast<char>(byte);
    }
    out += '"';
}

// Appends pretty-printed values to one string. `level` is the nesting level
// of the line the value starts on; later lines of the value are indented
// from it.
class Writer {
public:
    std::string take() && { return std::move(out_); }

    void value(bool v, std::size_t) { out_ += v ? "true" : "false"; }
    void value(std::uint64_t v, std::size_t) { append_integer(out_, v); }
    void value(std::int16_t v, std::size_t) { append_integer(out_, v); }
    void value(double v, std::size_t) { append_double(out_, v); }
    void value(const std::string& v, std::size_t) { append_quoted(out_, v); }

    template <class Sequence>
    void list(const Sequence& items, std::size_t level) {
        if (items.empty()) {
            out_ += "[]";
            return;
        }
        out_ += '[';
        for (const auto& item : items) {
            line(level + 1);
            value(item, level + 1);
            out_ += ',';
        }
        line(level);
        out_ += ']';
    }

    template <class T, class A>
    void value(const std::vector<T, A>& v, std::size_t level) { list(v, level); }
    template <class T, class A>
    void value(const std::deque<T, A>& v, std::size_t level) { list(v, level); }
    template <class T, std::size_t N>
    void value(const std::array<T, N>& v, std::size_t level) { list(v, level); }

    void value(const signals::SampleVector& samples, std::size_t level) {
        // One line per sample: indentation, up to six characters and ",".
        out_.reserve(out_.size() + samples.size() * ((level + 1) * kIndentWidth + 8) + 16);
        list(samples, level);
    }

    void value(const lcsettings::LCSetting& v, std::size_t level) {
        open("LCSetting");
        field("capacitance", v.capacitance, level);
        field("carrier_frequency", v.carrier_frequency, level);
        field("clk_ticks_per_sample", v.clk_ticks_per_sample, level);
        field("capacitor_bank_setting", v.capacitor_bank_setting, level);
        close(level);
    }

    void value(const lcsettings::Coil& v, std::size_t level) {
        open("Coil");
        field("name", v.name, level);
        field("inductance", v.inductance, level);
        field("max_current", v.max_current, level);
        field("max_carrier_frequency", v.max_carrier_frequency, level);
        field("settings", v.settings, level);
        close(level);
    }

    void value(const machine_config::MachineConfig& v, std::size_t level) {
        open("MachineConfig");
        field("supply_voltage", v.supply_voltage, level);
        field("num_coils", v.num_coils, level);
        field("coils", v.coils, level);
        field("capacitors", v.capacitors, level);
        field("possible_capacitances", v.possible_capacitances, level);
        field("num_external_signal_sources", v.num_external_signal_sources, level);
        field("smbus_psu_connected", v.smbus_psu_connected, level);
        field("num_temperature_sensors", v.num_temperature_sensors, level);
        field("num_flow_rate_sensors", v.num_flow_rate_sensors, level);
        field("safety_checks_enabled", v.safety_checks_enabled, level);
        field("max_intensity_setpoint", v.max_intensity_setpoint, level);
        field("max_current", v.max_current, level);
        field("max_carrier_frequency", v.max_carrier_frequency, level);
        field("max_temperature", v.max_temperature, level);
        field("min_flowrate", v.min_flowrate, level);
        field("max_power", v.max_power, level);
        close(level);
    }

    void value(const signals::ConstantSignalParams& v, std::size_t level) {
        open("ConstantSignalParams");
        field("value", v.value, level);
        close(level);
    }

    void value(const signals::SineSignalParams& v, std::size_t level) {
        open("SineSignalParams");
        field("amplitude", v.amplitude, level);
        field("frequency", v.frequency, level);
        field("phase", v.phase, level);
        field("depth", v.depth, level);
        close(level);
    }

    void value(const signals::RampSignalParams& v, std::size_t level) {
        open("RampSignalParams");
        field("peak", v.peak, level);
        field("up_duration", v.up_duration, level);
        field("down_duration", v.down_duration, level);
        close(level);
    }

    void value(const signals::MixedSignalParams& v, std::size_t level) {
        open("MixedSignalParams");
        field("a_idx", v.a_idx, level);
        field("b_idx", v.b_idx, level);
        close(level);
    }

    void value(const signals::ArbitrarySignalParams& v, std::size_t level) {
        open("ArbitrarySignalParams");
        field("samples", v.samples, level);
        close(level);
    }

    void value(const signals::Signal& v, std::size_t level) {
        out_ += signals::variant_name(v);
        out_ += '(';
        line(level + 1);
        std::visit([&](const auto& params) { value(params, level + 1); }, v);
        out_ += ',';
        line(level);
        out_ += ')';
    }

    void value(const settings::SignalSourceSelection& v, std::size_t level) {
        open("SignalSourceSelection");
        field("internal", v.internal, level);
        field("external", v.external, level);
        field("external_selected", v.external_selected, level);
        close(level);
    }

    void value(const settings::ChannelSettings& v, std::size_t level) {
        open("ChannelSettings");
        field("enabled", v.enabled, level);
        field("amplitude1_source", v.amplitude1_source, level);
        field("amplitude2_source", v.amplitude2_source, level);
        field("modulation_source", v.modulation_source, level);
        field("coil_idx", v.coil_idx, level);
        field("coil_setting_idx", v.coil_setting_idx, level);
        close(level);
    }

    void value(const settings::Settings& v, std::size_t level) {
        open("Settings");
        field("running_on_target_machine", v.running_on_target_machine, level);
        field("machine_config", v.machine_config, level);
        field("intensity", v.intensity, level);
        field("session_duration", v.session_duration, level);
        field("signals", v.signals, level);
        field("channel_a_settings", v.channel_a_settings, level);
        field("channel_b_settings", v.channel_b_settings, level);
        field("monitor_trace_visible", v.monitor_trace_visible, level);
        field("monitor_subsampling_factor", v.monitor_subsampling_factor, level);
        close(level);
    }

    void value(const Protocol& v, std::size_t level) {
        open("Protocol");
        field("settings", v.settings, level);
        close(level);
    }

private:
    void line(std::size_t level) {
        out_ += '\n';
        out_.append(level * kIndentWidth, ' ');
    }

    void open(std::string_view record_name) {
        out_ += record_name;
        out_ += " {";
    }

    template <class T>
    void field(std::string_view name, const T& v, std::size_t record_level) {
        line(record_level + 1);
        out_ += name;
        out_ += ": ";
        value(v, record_level + 1);
        out_ += ',';
    }

    void close(std::size_t level) {
        line(level);
        out_ += '}';
    }

    std::string out_;
};

template <class T>
std::string render(const T& v) {
    Writer writer;
    writer.value(v, 0);
    return std::move(writer).take();
}

}  // namespace

std::string format_double(double value) {
    std::string out;
    append_double(out, value);
    return out;
}

std::string quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(out, text);
    return out;
}

std::string to_text(const lcsettings::LCSetting& value) { return render(value); }
std::string to_text(const lcsettings::Coil& value) { return render(value); }
std::string to_text(const machine_config::MachineConfig& value) { return render(value); }
std::string to_text(const signals::Signal& value) { return render(value); }
std::string to_text(const settings::SignalSourceSelection& value) { return render(value); }
std::string to_text(const settings::ChannelSettings& value) { return render(value); }
std::string to_text(const settings::Settings& value) { return render(value); }
std::string to_text(const Protocol& value) { return render(value); }

}  // namespace protocols::text
