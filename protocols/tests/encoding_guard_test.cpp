// The sample encoders with their input and their output against an
// inaccessible page: they read samples[0..count) only and write no further
// than the room the contract grants (3 * count + kSampleEncodeSlack).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "cpu_features.hpp"
#include "guarded_memory.hpp"
#include "sample_encoding_paths.hpp"

namespace protocols::postcard {
namespace {

using testing::Edge;
using testing::FaultTrap;
using testing::GuardedRegion;

using Encoder = std::size_t (*)(const std::int16_t*, std::size_t, std::uint8_t*) noexcept;

struct Loop {
    const char* name;
    Encoder encoder;
    bool (*available)() noexcept;  // nullptr: always there
    const char* lacking;           // what the CPU lacks when it is not
};

void PrintTo(const Loop& loop, std::ostream* os) { *os << loop.name; }

const Loop kLoops[] = {
    {"Scalar", encode_samples_scalar, nullptr, ""},
#if defined(__aarch64__)
    {"Neon", encode_samples_vector, sample_vector_encoder_available, "NEON"},
#else
    {"Ssse3", encode_samples_vector, sample_vector_encoder_available, "SSSE3 and SSE4.1"},
#endif
    {"Dispatch", encode_samples, nullptr, ""},
};

// Samples of one, two and three encoded bytes in turn, a widest sample
// first or last, all narrow, all widest.
enum class Data { Mixed, WideFirst, WideLast, AllNarrow, AllWide };
const Data kData[] = {Data::Mixed, Data::WideFirst, Data::WideLast, Data::AllNarrow, Data::AllWide};

std::vector<std::int16_t> samples_of(Data data, std::size_t n) {
    const std::int16_t cycle[] = {0, -64, 64, 8191, -8193, 32767, -32768, 63, 200, -300};
    std::vector<std::int16_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (data) {
            case Data::AllNarrow: out[i] = 1; break;
            case Data::AllWide: out[i] = -32768; break;
            default: out[i] = cycle[(i * 7) % std::size(cycle)]; break;
        }
    }
    if (n > 0 && data == Data::WideFirst) out.front() = -32768;
    if (n > 0 && data == Data::WideLast) out.back() = 32767;
    return out;
}

// Zigzag then little-endian base-128 groups, one sample at a time.
std::vector<std::uint8_t> reference(const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> out;
    for (std::int16_t s : samples) {
        std::uint32_t z = s < 0 ? 2u * static_cast<std::uint32_t>(-(s + 1)) + 1u : 2u * static_cast<std::uint32_t>(s);
        for (; z >= 0x80; z >>= 7) out.push_back(static_cast<std::uint8_t>(z | 0x80));
        out.push_back(static_cast<std::uint8_t>(z));
    }
    return out;
}

std::vector<std::size_t> lengths() {
    std::vector<std::size_t> out;
    for (std::size_t n = 0; n <= 320; ++n) out.push_back(n);
    for (std::size_t n : {1023, 1024, 1025, 4099, 20011}) out.push_back(n);
    return out;
}

class EncodingAtGuardPage : public ::testing::TestWithParam<std::tuple<Loop, Edge, Edge>> {};

TEST_P(EncodingAtGuardPage, ReadsOnlyTheSamplesAndWritesOnlyTheRoomGranted) {
    const auto& [loop, input_edge, output_edge] = GetParam();
    if (loop.available != nullptr && !loop.available()) {
        if (cpu::scalar_loops_forced()) GTEST_SKIP() << "built with the scalar loops only (PYVEXA_SCALAR_LOOPS)";
        GTEST_SKIP() << "this CPU lacks " << loop.lacking << ": the " << loop.name << " loop is not tested here";
    }
    const std::vector<std::size_t> counts = lengths();
    const std::size_t longest = counts.back();
    GuardedRegion input(longest * sizeof(std::int16_t));
    GuardedRegion output(3 * longest + kSampleEncodeSlack);
    FaultTrap trap;
    int failures = 0;
    for (std::size_t n : counts) {
        for (Data data : kData) {
            const std::vector<std::int16_t> samples = samples_of(data, n);
            const std::vector<std::uint8_t> want = reference(samples);
            auto* in = reinterpret_cast<std::int16_t*>(testing::place(input, input_edge, n * sizeof(std::int16_t)));
            std::copy(samples.begin(), samples.end(), in);
            auto* out = reinterpret_cast<std::uint8_t*>(testing::place(output, output_edge, 3 * n + kSampleEncodeSlack));
            std::size_t written = 0;
            const bool clean = trap.run([&] { written = loop.encoder(in, n, out); });
            const std::string where = std::string(loop.name) + " count " + std::to_string(n) + ", input at the " +
                                      testing::edge_name(input_edge) + " guard, output at the " +
                                      testing::edge_name(output_edge) + " guard, data " +
                                      std::to_string(static_cast<int>(data));
            if (!clean) {
                ADD_FAILURE() << "touched an inaccessible page: " << where;
            } else if (written != want.size() || !std::equal(want.begin(), want.end(), out)) {
                ADD_FAILURE() << "wrong bytes: " << where;
            } else {
                continue;
            }
            if (++failures == 10) FAIL() << "stopping after 10 failures";
        }
    }
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<Loop, Edge, Edge>>& info) {
    const auto& [loop, input_edge, output_edge] = info.param;
    auto side = [](Edge edge) { return edge == Edge::Low ? std::string("Low") : std::string("High"); };
    return std::string(loop.name) + "_Input" + side(input_edge) + "_Output" + side(output_edge);
}

INSTANTIATE_TEST_SUITE_P(EveryLoop, EncodingAtGuardPage,
                         ::testing::Combine(::testing::ValuesIn(kLoops), ::testing::Values(Edge::Low, Edge::High),
                                            ::testing::Values(Edge::Low, Edge::High)),
                         case_name);

}  // namespace
}  // namespace protocols::postcard
