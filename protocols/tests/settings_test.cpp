#include "protocols/settings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "protocols/config.hpp"
#include "protocols/error.hpp"

namespace protocols::settings {
namespace {

constexpr const char* kVariable = "VEXA_TARGET_MACHINE";

class TargetMachineFlag : public ::testing::Test {
protected:
    void TearDown() override { ::unsetenv(kVariable); }
};

TEST_F(TargetMachineFlag, UnsetIsFalse) {
    ::unsetenv(kVariable);
    EXPECT_FALSE(Settings().running_on_target_machine);
}

TEST_F(TargetMachineFlag, ValidTextOfAnyKindIsTrue) {
    for (const char* value : {"", "0", "false", "Ma\xc3\x9f" "e", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                              "\xef\xbf\xbf", "\xf4\x8f\xbf\xbf"}) {
        ::setenv(kVariable, value, 1);
        EXPECT_TRUE(Settings().running_on_target_machine) << '"' << value << '"';
    }
}

TEST_F(TargetMachineFlag, InvalidUtf8IsFalse) {
    const char* const values[] = {
        "\xff",              // never a UTF-8 byte
        "abc\x80",           // stray continuation
        "\xc3",              // truncated pair
        "\xe2\x82",          // truncated triple
        "\xc0\x80",          // overlong NUL
        "\xc1\xbf",          // overlong ASCII
        "\xe0\x9f\xbf",      // overlong three-byte form
        "\xf0\x8f\xbf\xbf",  // overlong four-byte form
        "\xed\xa0\x80",      // surrogate D800
        "\xed\xbf\xbf",      // surrogate DFFF
        "\xf4\x90\x80\x80",  // above U+10FFFF
        "\xf8\x88\x80\x80\x80",
        "\xc3\x28",          // lead followed by ASCII
    };
    for (const char* value : values) {
        ::setenv(kVariable, value, 1);
        EXPECT_FALSE(Settings().running_on_target_machine) << testing::PrintToString(std::string(value));
    }
}

TEST_F(TargetMachineFlag, ReadOnlyAtConstruction) {
    ::unsetenv(kVariable);
    const Settings before;
    ::setenv(kVariable, "1", 1);
    const Settings after;
    ::unsetenv(kVariable);
    EXPECT_FALSE(before.running_on_target_machine);
    EXPECT_TRUE(after.running_on_target_machine);
}

TEST(SettingsDefaults, MatchDocumentedValues) {
    ::unsetenv(kVariable);
    const Settings s;
    ASSERT_EQ(s.signals.size(), 1u);
    EXPECT_EQ(s.signals[0], signals::Signal{signals::ConstantSignalParams{0.0}});
    EXPECT_EQ(s.intensity, 0.0);
    EXPECT_EQ(s.session_duration, 60.0);
    EXPECT_TRUE(s.channel_a_settings.enabled);
    EXPECT_FALSE(s.channel_b_settings.enabled);
    for (const ChannelSettings* channel : {&s.channel_a_settings, &s.channel_b_settings}) {
        EXPECT_EQ(channel->coil_idx, 0u);
        EXPECT_EQ(channel->coil_setting_idx, 0u);
        for (const auto* source : {&channel->amplitude1_source, &channel->amplitude2_source,
                                   &channel->modulation_source}) {
            EXPECT_EQ(*source, (SignalSourceSelection{0, 0, false}));
        }
    }
    for (bool visible : s.monitor_trace_visible) EXPECT_FALSE(visible);
    EXPECT_EQ(s.monitor_subsampling_factor, 1u);
}

TEST(MachineConfigDefaults, OneDefaultCoilButTwoCoilsCounted) {
    const machine_config::MachineConfig m;
    EXPECT_EQ(m.num_coils, 2u);
    ASSERT_EQ(m.coils.size(), 1u);
    EXPECT_EQ(m.coils[0].name, "Default");
    ASSERT_EQ(m.coils[0].settings.size(), 1u);
    EXPECT_EQ(m.coils[0].settings[0], (lcsettings::LCSetting{330.0, 22.624434389140273, 221, 1}));
    EXPECT_EQ(m.capacitors, std::vector<double>{330.0});
    EXPECT_EQ(m.possible_capacitances, std::vector<double>{330.0});

    const machine_config::MachineConfig other;
    EXPECT_EQ(m, other);
    EXPECT_NE(m.coils.data(), other.coils.data());
}

TEST(SampleCount, CeilingOfDoubleProduct) {
    const struct {
        double duration;
        std::uint64_t count;
    } cases[] = {
        {60.0, 300000},
        {0.07, 351},  // 0.07 * 5000.0 is 350.00000000000006
        {0.1, 500},
        {0.01, 50},
        {1800.0, 9000000},
        {0.0, 0},
        {-0.0, 0},
        {-3.0, 0},
        {std::numeric_limits<double>::quiet_NaN(), 0},
        {1e300, std::numeric_limits<std::uint64_t>::max()},
        {std::numeric_limits<double>::infinity(), std::numeric_limits<std::uint64_t>::max()},
    };
    for (const auto& c : cases) EXPECT_EQ(config::sample_count(c.duration), c.count) << c.duration;
}

TEST(SaturatingConversion, TruncatesAndClamps) {
    EXPECT_EQ(config::saturating_to_u64(221.9), 221u);
    EXPECT_EQ(config::saturating_to_u64(-0.5), 0u);
    EXPECT_EQ(config::saturating_to_u64(18446744073709549568.0), 18446744073709549568u);
    EXPECT_EQ(config::saturating_to_u64(18446744073709551616.0), std::numeric_limits<std::uint64_t>::max());
}

TEST(VEXAErrorNames, NamesInOrder) {
    const char* const names[] = {"OverCoilCurrent", "OverSupplyPower", "OverTemperature", "Underflow",
                                 "SPIError",        "GPIOError",       "I2cError",        "TCPError",
                                 "ConfigError",     "ProtocolError",   "Unintialized"};
    for (std::uint8_t i = 0; i < 11; ++i) {
        EXPECT_EQ(error::to_string(static_cast<error::VEXAError>(i)), names[i]);
    }
}

}  // namespace
}  // namespace protocols::settings
