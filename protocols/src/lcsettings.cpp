#include "protocols/lcsettings.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "protocols/config.hpp"
#include "protocols/log.hpp"

namespace protocols::lcsettings {

namespace {

constexpr double kClockHz = 160000000.0;
constexpr double kSamplesPerCarrierPeriod = 32.0;
constexpr std::uint64_t kSamplesPerCarrierPeriodInt = 32;
constexpr double kTwoPi = 6.283185307179586;

// The tuning for one candidate, or nothing when its realised carrier
// frequency exceeds the limit. Every step is a separate rounding on purpose.
std::optional<LCSetting> tune(double capacitance, std::size_t position, double inductance,
                              double max_carrier_frequency) {
    double x = inductance * 0.000001;
    x = x * capacitance;
    x = x * 0.000000001;
    double r = std::sqrt(x);
    r = r * kTwoPi;
    const double resonance_hz = 1.0 / r;
    const double ticks = kClockHz / (resonance_hz * kSamplesPerCarrierPeriod);

    const std::uint64_t clk_ticks = config::saturating_to_u64(std::round(ticks));
    const double period_ticks = static_cast<double>(clk_ticks * kSamplesPerCarrierPeriodInt);
    const double carrier_khz = (kClockHz / period_ticks) * 0.001;

    if (!(carrier_khz <= max_carrier_frequency)) return std::nullopt;
    return LCSetting{
        .capacitance = capacitance,
        .carrier_frequency = carrier_khz,
        .clk_ticks_per_sample = clk_ticks,
        .capacitor_bank_setting = static_cast<std::uint64_t>(position) + 1,
    };
}

void report_untunable(const std::string& name) {
    if (!log::enabled(log::Level::Error)) return;
    const std::string message = "No valid carrier frequency can be calculated for coil " + name;
    log::emit(log::Level::Error, "protocols::lcsettings", message);
}

}  // namespace

Expected<Coil, error::VEXAError> Coil::make(std::string name, std::span<const double> capacitances,
                                            double inductance, double max_current,
                                            double max_carrier_frequency) {
    std::vector<LCSetting> settings;
    for (std::size_t i = 0; i < capacitances.size(); ++i) {
        if (auto setting = tune(capacitances[i], i, inductance, max_carrier_frequency)) {
            settings.push_back(*setting);
        }
    }

    if (settings.empty()) {
        report_untunable(name);
        return Expected<Coil, error::VEXAError>::failure(error::VEXAError::ConfigError);
    }

    // Ascending ticks, then reversed: equal ticks end up in reverse
    // candidate order, which is what readers of the list rely on.
    std::stable_sort(settings.begin(), settings.end(), [](const LCSetting& a, const LCSetting& b) {
        return a.clk_ticks_per_sample < b.clk_ticks_per_sample;
    });
    std::reverse(settings.begin(), settings.end());

    return Coil{
        .name = std::move(name),
        .inductance = inductance,
        .max_current = max_current,
        .max_carrier_frequency = max_carrier_frequency,
        .settings = std::move(settings),
    };
}

Coil Coil::make_default() {
    constexpr double kDefaultCandidates[] = {330.0};
    auto coil = make("Default", kDefaultCandidates, 150.0, 0.1, 40.0);
    return std::move(coil).value();
}

}  // namespace protocols::lcsettings
