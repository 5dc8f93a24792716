#include "sample_encoding_paths.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace protocols::postcard {
namespace {

using Encoder = std::size_t (*)(const std::int16_t*, std::size_t, std::uint8_t*) noexcept;

std::vector<std::uint8_t> encode_with(Encoder encoder, const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> out(samples.size() * 3 + kSampleEncodeSlack, 0xEE);
    out.resize(encoder(samples.data(), samples.size(), out.data()));
    return out;
}

const Encoder kEncoders[] = {encode_samples_scalar, encode_samples_vector, encode_samples};

TEST(SampleEncoding, ZigzagVarintsOfTheWorkedExample) {
    // 0, -1, 1, 200, -300, 32767, -32768 repeated so that vector blocks see them.
    const std::vector<std::int16_t> one = {0, -1, 1, 200, -300, 32767, -32768, -64, 63};
    const std::vector<std::uint8_t> bytes = {0x00, 0x01, 0x02, 0x90, 0x03, 0xd7, 0x04, 0xfe, 0xff,
                                             0x03, 0xff, 0xff, 0x03, 0x7f, 0x7e};
    std::vector<std::int16_t> samples;
    std::vector<std::uint8_t> expected;
    for (int r = 0; r < 5; ++r) {
        samples.insert(samples.end(), one.begin(), one.end());
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    for (Encoder encoder : kEncoders) EXPECT_EQ(encode_with(encoder, samples), expected);
}

// Every length pattern in every lane position: lengths 1, 2 and 3 mixed at
// random, plus runs of one length, at sizes around the vector block.
TEST(SampleEncoding, VectorLoopMatchesScalarLoop) {
    std::mt19937 rng(7);
    const std::int16_t representatives[] = {0, -1, 63, -64, 64, 8191, -8192, 8192, -8193, 32767, -32768};
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::int16_t> samples(rng() % 41);
        for (auto& s : samples) {
            s = round % 2 ? representatives[rng() % std::size(representatives)]
                          : static_cast<std::int16_t>(rng());
        }
        const auto reference = encode_with(encode_samples_scalar, samples);
        ASSERT_EQ(encode_with(encode_samples_vector, samples), reference) << "round " << round;
        ASSERT_EQ(encode_with(encode_samples, samples), reference) << "round " << round;
    }
}

TEST(SampleEncoding, StaysWithinTheReservedRoom) {
    // Worst case: every sample takes three bytes.
    std::vector<std::int16_t> samples(1001, -32768);
    for (Encoder encoder : kEncoders) {
        std::vector<std::uint8_t> out(samples.size() * 3 + kSampleEncodeSlack + 64, 0xEE);
        const std::size_t written = encoder(samples.data(), samples.size(), out.data());
        EXPECT_EQ(written, samples.size() * 3);
        for (std::size_t i = samples.size() * 3 + kSampleEncodeSlack; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE);
    }
}

}  // namespace
}  // namespace protocols::postcard
