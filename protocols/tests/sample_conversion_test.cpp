#include "sample_conversion_paths.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace protocols::samples {
namespace {

using Kernel = ConversionResult (*)(const char*, std::ptrdiff_t, std::size_t, std::int16_t*) noexcept;

struct Outcome {
    ConversionResult result;
    std::vector<std::int16_t> out;
};

Outcome run(Kernel kernel, const std::vector<double>& backing, std::ptrdiff_t first, std::ptrdiff_t step,
            std::size_t count) {
    Outcome outcome{{Fault::None, 0}, std::vector<std::int16_t>(count, -1)};
    const char* base = reinterpret_cast<const char*>(backing.data() + first);
    outcome.result = kernel(base, step * static_cast<std::ptrdiff_t>(sizeof(double)), count, outcome.out.data());
    return outcome;
}

TEST(SampleConversion, StoredValuesRoundHalvesAwayFromZero) {
    struct Case {
        double fraction;
        std::int16_t stored;
    };
    const Case cases[] = {{0.0, 0},     {1.0, 32767},        {0.5, 16384}, {0.25, 8192},
                          {0.1, 3277},  {1.0 / 3.0, 10922}, {-0.0, 0},    {1.0 / 65534.0, 1},
                          // products 0.4999999999999999 and 0.5 exactly
                          {1.5259254737998593e-05, 0}, {1.5259254737998596e-05, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(to_stored_sample(c.fraction), c.stored) << c.fraction;
        std::vector<double> one(40, c.fraction);  // long enough for a vector block
        for (Kernel kernel : {Kernel{convert_fractions_scalar}, Kernel{convert_fractions_vector}, Kernel{convert_fractions_wide},
                              Kernel{convert_fractions}}) {
            Outcome o = run(kernel, one, 0, 1, one.size());
            EXPECT_EQ(o.result.fault, Fault::None);
            for (std::int16_t v : o.out) EXPECT_EQ(v, c.stored) << c.fraction;
        }
    }
}

TEST(SampleConversion, FirstBadSampleDecides) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::size_t bad_low;   // index of a NaN / negative sample
        double low_value;
        std::size_t bad_high;  // index of a sample above one
        Fault expected;
        std::size_t at;
    };
    const Case cases[] = {
        {10, nan, 3, Fault::AboveOne, 3},
        {3, nan, 10, Fault::BelowZeroOrNaN, 3},
        {17, -1e-300, 40, Fault::BelowZeroOrNaN, 17},
        {40, -std::numeric_limits<double>::infinity(), 39, Fault::AboveOne, 39},
        {49, -0.5, 48, Fault::AboveOne, 48},
    };
    for (const Case& c : cases) {
        std::vector<double> values(50, 0.5);
        values[c.bad_low] = c.low_value;
        values[c.bad_high] = std::nextafter(1.0, 2.0);
        for (Kernel kernel : {Kernel{convert_fractions_scalar}, Kernel{convert_fractions_vector}, Kernel{convert_fractions_wide},
                              Kernel{convert_fractions}}) {
            Outcome o = run(kernel, values, 0, 1, values.size());
            EXPECT_EQ(o.result.fault, c.expected);
            EXPECT_EQ(o.result.index, c.at);
        }
    }
}

// The vector path must agree with the scalar loop on every layout: random
// values (some bad), lengths around the block size, and strides of any sign.
TEST(SampleConversion, VectorPathMatchesScalarLoop) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 400; ++round) {
        // Some arrays long enough for the prefetching loop.
        const std::size_t count = round % 40 == 0 ? 3000 + rng() % 100 : rng() % 110;
        const std::ptrdiff_t steps[] = {1, 2, 3, -1, -2, 0};
        const std::ptrdiff_t step = steps[rng() % 6];
        const std::size_t span = count * static_cast<std::size_t>(std::abs(step)) + 1;
        std::vector<double> backing(span + 1);
        for (double& v : backing) v = unit(rng);
        if (round % 3 == 0 && !backing.empty()) backing[rng() % backing.size()] = round % 2 ? 1.5 : -0.25;
        if (round % 5 == 0) backing[rng() % backing.size()] = std::numeric_limits<double>::quiet_NaN();
        // Products landing exactly on halves and just below them.
        if (round % 7 == 0) backing[rng() % backing.size()] = 16383.5 / 32767.0;
        const std::ptrdiff_t first = step < 0 ? static_cast<std::ptrdiff_t>(span - 1) : 0;

        Outcome scalar = run(convert_fractions_scalar, backing, first, step, count);
        for (Kernel kernel : {Kernel{convert_fractions_vector}, Kernel{convert_fractions_wide}, Kernel{convert_fractions}}) {
            Outcome other = run(kernel, backing, first, step, count);
            ASSERT_EQ(other.result.fault, scalar.result.fault) << "round " << round;
            ASSERT_EQ(other.result.index, scalar.result.index) << "round " << round;
            const std::size_t valid = scalar.result.fault == Fault::None ? count : scalar.result.index;
            for (std::size_t i = 0; i < valid; ++i) ASSERT_EQ(other.out[i], scalar.out[i]) << "round " << round;
        }
    }
}

TEST(SampleConversion, UnalignedElementsAreRead) {
    std::vector<char> bytes(8 * 20 + 1);
    std::vector<double> expected(20);
    for (std::size_t i = 0; i < 20; ++i) {
        expected[i] = static_cast<double>(i) / 19.0;
        std::memcpy(bytes.data() + 1 + 8 * i, &expected[i], 8);
    }
    std::vector<std::int16_t> out(20);
    ConversionResult r = convert_fractions(bytes.data() + 1, 8, 20, out.data());
    ASSERT_EQ(r.fault, Fault::None);
    for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(out[i], to_stored_sample(expected[i]));
}

}  // namespace
}  // namespace protocols::samples
