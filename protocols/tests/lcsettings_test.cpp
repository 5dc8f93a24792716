#include "protocols/lcsettings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "protocols/log.hpp"

namespace protocols::lcsettings {
namespace {

using error::VEXAError;

Expected<Coil, VEXAError> make_coil(std::vector<double> candidates, double limit, double inductance = 150.0) {
    return Coil::make("Test", candidates, inductance, 0.1, limit);
}

TEST(CoilTuning, DefaultCoilHasOneTuningAt221Ticks) {
    const Coil coil = Coil::make_default();
    EXPECT_EQ(coil.name, "Default");
    EXPECT_EQ(coil.inductance, 150.0);
    EXPECT_EQ(coil.max_current, 0.1);
    EXPECT_EQ(coil.max_carrier_frequency, 40.0);
    ASSERT_EQ(coil.settings.size(), 1u);
    EXPECT_EQ(coil.settings[0], (LCSetting{330.0, 22.624434389140273, 221, 1}));
}

TEST(CoilTuning, DropsTuningAboveLimitAndOrdersByDescendingTicks) {
    const auto coil = make_coil({330.0, 100.0, 1000.0}, 40.0);
    ASSERT_TRUE(coil);
    const std::vector<LCSetting> expected{
        {1000.0, 12.987012987012989, 385, 3},
        {330.0, 22.624434389140273, 221, 1},
    };
    EXPECT_EQ(coil.value().settings, expected);
}

TEST(CoilTuning, EqualTicksPutLaterCandidateFirst) {
    const auto coil = make_coil({330.0, 330.0}, 40.0);
    ASSERT_TRUE(coil);
    const std::vector<LCSetting> expected{
        {330.0, 22.624434389140273, 221, 2},
        {330.0, 22.624434389140273, 221, 1},
    };
    EXPECT_EQ(coil.value().settings, expected);
}

TEST(CoilTuning, LimitAppliesToRealisedCarrierFrequency) {
    const auto retained = make_coil({100.0}, 41.0);
    ASSERT_TRUE(retained);
    ASSERT_EQ(retained.value().settings.size(), 1u);
    EXPECT_EQ(retained.value().settings[0], (LCSetting{100.0, 40.983606557377044, 122, 1}));

    const auto rejected = make_coil({100.0}, 40.98);
    ASSERT_FALSE(rejected);
    EXPECT_EQ(rejected.error(), VEXAError::ConfigError);
}

TEST(CoilTuning, LimitEqualToCarrierFrequencyRetains) {
    EXPECT_TRUE(make_coil({330.0}, 22.624434389140273));
}

TEST(CoilTuning, FailsWithConfigError) {
    const struct {
        const char* label;
        std::vector<double> candidates;
        double limit;
    } cases[] = {
        {"empty candidate list", {}, 40.0},
        {"NaN limit", {330.0, 1000.0}, std::numeric_limits<double>::quiet_NaN()},
        {"every candidate too fast", {100.0, 10.0}, 40.0},
        {"zero and negative candidates", {0.0, -330.0}, 1e300},
    };
    for (const auto& c : cases) {
        const auto coil = make_coil(c.candidates, c.limit);
        ASSERT_FALSE(coil) << c.label;
        EXPECT_EQ(coil.error(), VEXAError::ConfigError) << c.label;
    }
}

TEST(CoilTuning, NonPositiveCandidateIsDroppedButKeepsPositionsOfOthers) {
    const auto coil = make_coil({0.0, -5.0, 330.0}, 40.0);
    ASSERT_TRUE(coil);
    ASSERT_EQ(coil.value().settings.size(), 1u);
    EXPECT_EQ(coil.value().settings[0], (LCSetting{330.0, 22.624434389140273, 221, 3}));
}

TEST(CoilTuning, ZeroCandidateGivesZeroTicksAndInfiniteFrequency) {
    // Only an infinite limit admits it, which exposes the computed values.
    const auto coil = make_coil({0.0}, std::numeric_limits<double>::infinity());
    ASSERT_TRUE(coil);
    const LCSetting& setting = coil.value().settings.at(0);
    EXPECT_EQ(setting.clk_ticks_per_sample, 0u);
    EXPECT_EQ(setting.carrier_frequency, std::numeric_limits<double>::infinity());
}

class CapturingSink : public log::Sink {
public:
    struct Captured {
        log::Level level;
        std::string target;
        std::string message;
    };
    void log(const log::Record& record) override {
        records.push_back({record.level, std::string(record.target), std::string(record.message)});
    }
    std::vector<Captured> records;
};

class CoilLogging : public ::testing::Test {
protected:
    void TearDown() override {
        log::set_sink(nullptr);
        log::set_max_level(log::LevelFilter::Off);
    }
    CapturingSink sink;
};

TEST_F(CoilLogging, FailureLogsErrorNamingTheCoil) {
    log::set_sink(&sink);
    log::set_max_level(log::LevelFilter::Error);

    const std::vector<double> candidates{100.0};
    ASSERT_FALSE(Coil::make("B2 spare", candidates, 150.0, 0.1, 40.0));

    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].level, log::Level::Error);
    EXPECT_EQ(sink.records[0].target, "protocols::lcsettings");
    EXPECT_EQ(sink.records[0].message, "No valid carrier frequency can be calculated for coil B2 spare");
}

TEST_F(CoilLogging, SuccessLogsNothing) {
    log::set_sink(&sink);
    log::set_max_level(log::LevelFilter::Trace);
    (void)Coil::make_default();
    EXPECT_TRUE(sink.records.empty());
}

TEST_F(CoilLogging, InitialMaximumLevelDiscardsTheRecord) {
    EXPECT_EQ(log::max_level(), log::LevelFilter::Off);
    log::set_sink(&sink);
    ASSERT_FALSE(make_coil({}, 40.0));
    EXPECT_TRUE(sink.records.empty());
}

}  // namespace
}  // namespace protocols::lcsettings
