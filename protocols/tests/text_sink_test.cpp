#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocols/text.hpp"

namespace protocols::text {
namespace {

// Keeps each chunk apart, as a sink that streams them would see them.
class ChunkSink final : public TextSink {
public:
    void write(std::string_view chunk) override { chunks.emplace_back(chunk); }
    std::vector<std::string> chunks;
};

Protocol with_samples(std::size_t count) {
    ::unsetenv("VEXA_TARGET_MACHINE");
    Protocol protocol;
    protocol.settings.signals.clear();
    signals::ArbitrarySignalParams params;
    for (std::size_t i = 0; i < count; ++i) {
        params.samples.push_back(static_cast<std::int16_t>(i % 2 == 0 ? i % 32768 : -static_cast<int>(i % 32768)));
    }
    protocol.settings.signals.emplace_back(signals::SineSignalParams{1.0, 10.0, 0.0, 0.5});
    protocol.settings.signals.emplace_back(std::move(params));
    protocol.settings.signals.emplace_back(signals::MixedSignalParams{0, 1});
    return protocol;
}

// The fewest samples whose text fills a chunk.
std::size_t samples_to_fill_a_chunk() {
    std::size_t low = 0;
    std::size_t high = TEXT_CHUNK_SIZE;
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (to_text(with_samples(middle)).size() >= TEXT_CHUNK_SIZE) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
}

// A sample count: `chunks` times the count that fills one chunk, plus `extra`.
struct SampleCount {
    std::size_t chunks;
    std::ptrdiff_t extra;
};

void PrintTo(const SampleCount& c, std::ostream* os) { *os << c.chunks << " chunks + " << c.extra; }

class StreamedText : public ::testing::TestWithParam<SampleCount> {
protected:
    static Protocol protocol() {
        static const std::size_t fill = samples_to_fill_a_chunk();
        const auto count = static_cast<std::ptrdiff_t>(GetParam().chunks * fill) + GetParam().extra;
        return with_samples(static_cast<std::size_t>(count));
    }
};

TEST_P(StreamedText, ChunksJoinToTheWholeText) {
    const Protocol protocol = this->protocol();
    ChunkSink sink;
    write_text(protocol, sink);
    std::string joined;
    for (const std::string& chunk : sink.chunks) joined += chunk;
    EXPECT_EQ(joined, to_text(protocol));
}

TEST_P(StreamedText, ChunksEndWithTheLineThatFillsThem) {
    const Protocol protocol = this->protocol();
    ChunkSink sink;
    write_text(protocol, sink);
    ASSERT_FALSE(sink.chunks.empty());
    const std::size_t longest_line = 128;
    for (std::size_t i = 0; i < sink.chunks.size(); ++i) {
        const std::string& chunk = sink.chunks[i];
        EXPECT_FALSE(chunk.empty());
        EXPECT_LE(chunk.size(), TEXT_CHUNK_SIZE + longest_line) << "chunk " << i;
        if (i + 1 < sink.chunks.size()) {
            EXPECT_GE(chunk.size(), TEXT_CHUNK_SIZE) << "chunk " << i;
            EXPECT_EQ(sink.chunks[i + 1].front(), '\n') << "chunk " << i + 1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AroundOneChunk, StreamedText, 
                         ::testing::Values(SampleCount{0, 0}, SampleCount{1, -2}, SampleCount{1, -1},
                                           SampleCount{1, 0}, SampleCount{1, 1}, SampleCount{1, 2},
                                           SampleCount{20, 0}));

// Every sample value, each line at its widest and narrowest, across many
// growths of the string and many chunks; the expected text is built here
// line by line.
TEST(SampleText, EveryValueWholeAndStreamed) {
    signals::ArbitrarySignalParams params;
    std::string expected = "Arbitrary(\n    ArbitrarySignalParams {\n        samples: [";
    for (int value = -32768; value <= 32767; ++value) {
        params.samples.push_back(static_cast<std::int16_t>(value));
        expected += "\n            " + std::to_string(value) + ",";
    }
    expected += "\n        ],\n    },\n)";
    const signals::Signal signal{std::move(params)};

    EXPECT_EQ(to_text(signal), expected);
    ChunkSink sink;
    write_text(signal, sink);
    std::string joined;
    for (const std::string& chunk : sink.chunks) joined += chunk;
    EXPECT_GT(sink.chunks.size(), 1u);
    EXPECT_EQ(joined, expected);
}

TEST(StringSink, AppendsToTextItAlreadyHolds) {
    const settings::SignalSourceSelection selection{2, 300, true};
    StringSink sink;
    write_text(selection, sink);
    write_text(selection, sink);
    EXPECT_EQ(std::move(sink).take(), to_text(selection) + to_text(selection));
}

TEST(StreamedText, ErrorOfTheSinkReachesTheCaller) {
    class FailingSink final : public TextSink {
    public:
        void write(std::string_view) override { throw std::runtime_error("disk full"); }
    } sink;
    EXPECT_THROW(write_text(with_samples(10), sink), std::runtime_error);
}

}  // namespace
}  // namespace protocols::text
