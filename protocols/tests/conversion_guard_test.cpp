// Every conversion loop with its samples against an inaccessible page: no
// loop may read a byte outside the span of the elements, nor write one
// past the output, at any stride, length or alignment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "cpu_features.hpp"
#include "guarded_memory.hpp"
#include "sample_conversion_paths.hpp"

namespace protocols::samples {
namespace {

using testing::Edge;
using testing::FaultTrap;
using testing::GuardedRegion;

using Kernel = ConversionResult (*)(const char*, std::ptrdiff_t, std::size_t, std::int16_t*) noexcept;

struct Loop {
    const char* name;
    Kernel kernel;
    bool (*available)() noexcept;  // nullptr: always there
    const char* lacking;           // what the CPU lacks when it is not
};

void PrintTo(const Loop& loop, std::ostream* os) { *os << loop.name; }

const Loop kLoops[] = {
    {"Scalar", convert_fractions_scalar, nullptr, ""},
#if defined(__aarch64__)
    {"Neon", convert_fractions_vector, vector_kernel_available, "NEON"},
#else
    {"Avx2", convert_fractions_vector, vector_kernel_available, "AVX2"},
    {"Avx512", convert_fractions_wide, wide_kernel_available, "AVX-512F"},
#endif
    {"Dispatch", convert_fractions, nullptr, ""},
};

// Strides in bytes: -4 to 4 elements, plus strides that leave every other
// element unaligned.
const std::ptrdiff_t kStrides[] = {-32, -24, -16, -8, 0, 8, 16, 24, 32, -12, 12, 20};

// Every length up to a few blocks of every loop, then some long enough for
// the prefetching loops (1056 samples and up) and odd tails.
std::vector<std::size_t> lengths() {
    std::vector<std::size_t> out;
    for (std::size_t n = 0; n <= 320; ++n) out.push_back(n);
    for (std::size_t n : {511, 512, 513, 1055, 1056, 1057, 1087, 1088, 1089, 4113, 20007}) out.push_back(n);
    return out;
}

enum class Data { Good, BadFirst, BadLast };
const char* data_name(Data data) {
    switch (data) {
        case Data::Good: return "good";
        case Data::BadFirst: return "bad first";
        case Data::BadLast: return "bad last";
    }
    return "?";
}

// Byte offset of element i from element 0, and the span of n elements:
// from the lowest-addressed element's first byte to the highest's last.
std::ptrdiff_t offset(std::ptrdiff_t stride, std::size_t i) { return stride * static_cast<std::ptrdiff_t>(i); }
std::size_t span(std::ptrdiff_t stride, std::size_t n) {
    return n == 0 ? 0 : static_cast<std::size_t>(std::abs(offset(stride, n - 1))) + sizeof(double);
}

// The conversion as the stored format defines it, one sample at a time.
ConversionResult reference(const std::vector<double>& values, std::vector<std::int16_t>& out) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double s = values[i];
        if (std::isnan(s) || s < 0.0) return {Fault::BelowZeroOrNaN, i};
        if (s > 1.0) return {Fault::AboveOne, i};
        out[i] = static_cast<std::int16_t>(std::round(s * 32767.0));  // halves away from zero
    }
    return {Fault::None, values.size()};
}

class ConversionAtGuardPage : public ::testing::TestWithParam<std::tuple<Loop, std::ptrdiff_t>> {};

TEST_P(ConversionAtGuardPage, ReadsOnlyTheElementsAndWritesOnlyTheOutput) {
    const auto& [loop, stride] = GetParam();
    if (loop.available != nullptr && !loop.available()) {
        if (cpu::scalar_loops_forced()) GTEST_SKIP() << "built with the scalar loops only (PYVEXA_SCALAR_LOOPS)";
        GTEST_SKIP() << "this CPU lacks " << loop.lacking << ": the " << loop.name << " loop is not tested here";
    }
    const std::vector<std::size_t> counts = lengths();
    const std::size_t longest = counts.back();
    GuardedRegion input(span(stride, longest));
    GuardedRegion output(longest * sizeof(std::int16_t));
    FaultTrap trap;

    std::uint64_t seed = 0x9E3779B97F4A7C15u;
    auto unit = [&seed] {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        return static_cast<double>(seed >> 11) / static_cast<double>(std::uint64_t{1} << 53);
    };
    std::vector<double> values;
    std::vector<std::int16_t> expected(longest);
    int failures = 0;
    for (std::size_t n : counts) {
        for (Edge edge : {Edge::Low, Edge::High}) {
            for (Data data : {Data::Good, Data::BadFirst, Data::BadLast}) {
                if (n == 0 && data != Data::Good) continue;
                // Element 0 sits so that the whole span touches the guard.
                const std::size_t bytes = span(stride, n);
                char* lowest = testing::place(input, edge, bytes);
                char* base = n == 0 ? input.high() : (stride < 0 ? lowest - offset(stride, n - 1) : lowest);
                // Gaps between elements hold a value no loop may pick up.
                for (std::size_t b = 0; b + sizeof(double) <= bytes; b += sizeof(double)) {
                    testing::store_double(lowest + b, 2.0);
                }
                for (std::size_t i = 0; i < n; ++i) testing::store_double(base + offset(stride, i), unit());
                if (n > 0 && data == Data::BadFirst) {
                    testing::store_double(base, n % 2 ? std::numeric_limits<double>::quiet_NaN() : -0.25);
                }
                if (n > 0 && data == Data::BadLast) testing::store_double(base + offset(stride, n - 1), 1.5);
                values.resize(n);
                for (std::size_t i = 0; i < n; ++i) values[i] = testing::load_double(base + offset(stride, i));
                const ConversionResult want = reference(values, expected);

                std::int16_t* out = reinterpret_cast<std::int16_t*>(
                    testing::place(output, edge, n * sizeof(std::int16_t)));
                ConversionResult got{Fault::None, 0};
                const bool clean = trap.run([&] { got = loop.kernel(base, stride, n, out); });
                const std::string where = std::string(loop.name) + " stride " + std::to_string(stride) + " count " +
                                          std::to_string(n) + " at the " + testing::edge_name(edge) + " guard, " +
                                          data_name(data);
                if (!clean) {
                    ADD_FAILURE() << "touched an inaccessible page: " << where;
                } else if (got.fault != want.fault || got.index != want.index) {
                    ADD_FAILURE() << "wrong result: " << where;
                } else if (!std::equal(out, out + want.index, expected.begin())) {
                    ADD_FAILURE() << "wrong samples: " << where;
                } else {
                    continue;
                }
                if (++failures == 10) FAIL() << "stopping after 10 failures";
            }
        }
    }
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<Loop, std::ptrdiff_t>>& info) {
    const auto& [loop, stride] = info.param;
    return std::string(loop.name) + "_Stride" + (stride < 0 ? "Minus" : "") + std::to_string(std::abs(stride));
}

INSTANTIATE_TEST_SUITE_P(EveryLoop, ConversionAtGuardPage,
                         ::testing::Combine(::testing::ValuesIn(kLoops), ::testing::ValuesIn(kStrides)), case_name);

}  // namespace
}  // namespace protocols::samples
