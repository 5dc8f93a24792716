#include "protocols/postcard_decode.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "guarded_memory.hpp"
#include "protocols/postcard.hpp"

namespace protocols::postcard {
namespace {

using Bytes = std::vector<std::uint8_t>;
using settings::Settings;
using signals::SampleVector;

Bytes encode(const Settings& settings) {
    ByteBuffer buffer;
    EXPECT_TRUE(serialize(settings, buffer).is_ok());
    return Bytes(buffer.data(), buffer.data() + buffer.size());
}

Expected<Settings, DecodeError> decode(std::span<const std::uint8_t> bytes) {
    ByteInput input(bytes);
    return decode_settings(input);
}

// A record with every kind of field and signal, values at the edges of
// their encodings (NaN payload, -0.0, 10-byte varints, 3-byte samples).
Settings every_kind(std::size_t samples) {
    Settings s;
    s.running_on_target_machine = true;
    s.machine_config.num_coils = std::numeric_limits<std::uint64_t>::max();
    s.machine_config.coils[0].name = "A1 \xc3\xa9\xe2\x80\xae";
    s.machine_config.coils.push_back(s.machine_config.coils[0]);
    s.machine_config.coils[1].settings.clear();
    s.machine_config.possible_capacitances.clear();
    s.intensity = -0.0;
    s.session_duration = std::bit_cast<double>(std::uint64_t{0x7FF8'0000'DEAD'BEEF});
    s.signals.clear();
    s.signals.emplace_back(signals::ConstantSignalParams{std::numeric_limits<double>::infinity()});
    s.signals.emplace_back(signals::SineSignalParams{1.0, 10.0, 0.25, 0.5});
    s.signals.emplace_back(signals::RampSignalParams{1e-5, 2.5e-7, 1e16});
    s.signals.emplace_back(signals::MixedSignalParams{std::uint64_t{1} << 63, 300});
    signals::ArbitrarySignalParams arbitrary;
    std::mt19937 rng(5);
    for (std::size_t i = 0; i < samples; ++i) arbitrary.samples.push_back(static_cast<std::int16_t>(rng()));
    if (samples >= 4) {
        arbitrary.samples[0] = -32768;
        arbitrary.samples[1] = 32767;
        arbitrary.samples[2] = -64;
        arbitrary.samples[3] = 63;
    }
    s.signals.emplace_back(std::move(arbitrary));
    s.signals.emplace_back(signals::ArbitrarySignalParams{});
    s.channel_b_settings.modulation_source = {7, 300, true};
    s.monitor_trace_visible[15] = true;
    s.monitor_subsampling_factor = 16384;
    return s;
}

TEST(PostcardDecode, DecodesWhatTheEncoderWrote) {
    for (std::size_t samples : {0u, 1u, 5u, 1000u}) {
        const Bytes bytes = encode(every_kind(samples));
        auto decoded = decode(bytes);
        ASSERT_TRUE(decoded) << decoded.error().message;
        // Bytes compare NaN payloads and -0.0 exactly, where == would not.
        EXPECT_EQ(encode(decoded.value()), bytes);
        EXPECT_EQ(decoded.value().machine_config.coils[0].name, "A1 \xc3\xa9\xe2\x80\xae");
    }
}

// The decoder over memory that ends, or begins, at an inaccessible page.
std::span<const std::uint8_t> place_bytes(const testing::GuardedRegion& region, testing::Edge edge,
                                          std::span<const std::uint8_t> bytes) {
    char* at = testing::place(region, edge, bytes.size());
    std::memcpy(at, bytes.data(), bytes.size());
    return {reinterpret_cast<const std::uint8_t*>(at), bytes.size()};
}

// Every prefix of a file fails with unexpected_end without reading past its
// end, and the whole file decodes.
TEST(PostcardDecode, EveryPrefixStopsAtTheGuardPage) {
    // Samples of 1, 2 and 3 bytes put every sample boundary at the end.
    const Bytes whole = encode(every_kind(40));
    testing::GuardedRegion region(whole.size());
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const auto prefix = std::span<const std::uint8_t>(whole).first(n);
        for (testing::Edge edge : {testing::Edge::High, testing::Edge::Low}) {
            auto decoded = decode(place_bytes(region, edge, prefix));
            ASSERT_FALSE(decoded) << n;
            EXPECT_EQ(decoded.error().kind, DecodeErrorKind::UnexpectedEnd) << n << ": " << decoded.error().message;
            EXPECT_LE(decoded.error().offset, n);
        }
    }
    auto decoded = decode(place_bytes(region, testing::Edge::High, whole));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(encode(decoded.value()), whole);
}

TEST(PostcardDecode, SamplesOfEveryLengthAtTheGuardPage) {
    // Runs of one sample length end the file at each offset modulo 3.
    for (std::int16_t value : {std::int16_t{5}, std::int16_t{-300}, std::int16_t{-32768}}) {
        for (std::size_t count = 0; count < 40; ++count) {
            Settings s = every_kind(0);
            std::get<signals::ArbitrarySignalParams>(s.signals[4]).samples.assign(count, value);
            s.signals.resize(5);  // the Arbitrary signal last, so samples run to near the end
            const Bytes whole = encode(s);
            testing::GuardedRegion region(whole.size());
            auto decoded = decode(place_bytes(region, testing::Edge::High, whole));
            ASSERT_TRUE(decoded) << count;
            EXPECT_EQ(std::get<signals::ArbitrarySignalParams>(decoded.value().signals[4]).samples.size(), count);
        }
    }
}

struct Corruption {
    const char* name;
    std::size_t offset;  // of the changed byte in the encoding of every_kind(3)
    std::uint8_t byte;
    DecodeErrorKind kind;
};

TEST(PostcardDecode, FaultsNameTheirKindAndOffset) {
    const Bytes whole = encode(every_kind(4));
    const std::size_t variant4 = [&] {
        // The Arbitrary signal: variant 4, count 4, then -32768 as ff ff 03.
        for (std::size_t i = 0; i + 4 < whole.size(); ++i) {
            if (whole[i] == 4 && whole[i + 1] == 4 && whole[i + 2] == 0xFF && whole[i + 4] == 3) return i;
        }
        return std::size_t{0};
    }();
    ASSERT_NE(variant4, 0u);
    const Corruption cases[] = {
        {"first flag", 0, 2, DecodeErrorKind::BadBool},
        {"name utf8", 1 + 8 + 10 + 1 + 1, 0xFF, DecodeErrorKind::BadUtf8},
        {"variant", variant4, 9, DecodeErrorKind::BadEnum},
        {"sample 4 bytes", variant4 + 2 + 2, 0x80, DecodeErrorKind::BadVarint},
        {"sample 17 bits", variant4 + 2 + 2, 0x04, DecodeErrorKind::SampleOutOfRange},
    };
    for (const Corruption& c : cases) {
        Bytes bytes = whole;
        bytes[c.offset] = c.byte;
        auto decoded = decode(bytes);
        ASSERT_FALSE(decoded) << c.name;
        EXPECT_EQ(decoded.error().kind, c.kind) << c.name << ": " << decoded.error().message;
    }
    Bytes trailing = whole;
    trailing.push_back(0);
    auto decoded = decode(trailing);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().kind, DecodeErrorKind::TrailingBytes);
    EXPECT_EQ(decoded.error().offset, whole.size());
    EXPECT_EQ(decoded.error().message, "1 trailing byte after the end of the record");
}

// A writer thread feeds a pipe; returns the decoder's outcome.
Expected<Settings, DecodeError> decode_from_pipe(const Bytes& bytes, bool endless_zeros) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::write(fds[1], bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at));
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        const std::vector<std::uint8_t> zeros(65536, 0);
        while (endless_zeros && ::write(fds[1], zeros.data(), zeros.size()) > 0) {
        }
        ::close(fds[1]);
    });
    auto result = [&] {
        ByteInput input(fds[0]);
        return decode_settings(input);
    }();
    ::close(fds[0]);  // an endless writer now fails with EPIPE and stops
    writer.join();
    return result;
}

TEST(PostcardDecode, PipeGivesTheSameRecordAndRefusesWhatFollowsIt) {
    ::signal(SIGPIPE, SIG_IGN);
    const Bytes whole = encode(every_kind(300'000));
    auto decoded = decode_from_pipe(whole, false);
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(encode(decoded.value()), whole);

    auto endless = decode_from_pipe(whole, true);
    ASSERT_FALSE(endless);
    EXPECT_EQ(endless.error().kind, DecodeErrorKind::TrailingBytes);
    EXPECT_EQ(endless.error().offset, whole.size());
}

TEST(PostcardDecode, HugeCountsFailAtTheCountOrAtTheEndOfTheBytes) {
    ::signal(SIGPIPE, SIG_IGN);
    // Up to the signal count, which then declares 2^64 - 1 signals; 100
    // Constants follow, and the input ends.
    Settings s = every_kind(0);
    ByteBuffer machine;
    ASSERT_TRUE(serialize(s.machine_config, machine).is_ok());
    const std::size_t count_at = 1 + machine.size() + 16;
    const Bytes whole = encode(s);
    Bytes bytes(whole.begin(), whole.begin() + static_cast<long>(count_at));
    for (int i = 0; i < 9; ++i) bytes.push_back(0xFF);
    bytes.push_back(0x01);
    for (int i = 0; i < 100; ++i) bytes.insert(bytes.end(), 9, 0);

    // A stream has no size: the signals are decoded as they come.
    auto streamed = decode_from_pipe(bytes, false);
    ASSERT_FALSE(streamed);
    EXPECT_EQ(streamed.error().kind, DecodeErrorKind::UnexpectedEnd);
    EXPECT_EQ(streamed.error().offset, bytes.size());
    // In memory the size is known: refused at the count.
    auto known = decode(bytes);
    ASSERT_FALSE(known);
    EXPECT_EQ(known.error().kind, DecodeErrorKind::UnexpectedEnd);
    EXPECT_EQ(known.error().offset, count_at);
    EXPECT_NE(known.error().message.find("signals declares 18446744073709551615 elements"), std::string::npos);
}

}  // namespace
}  // namespace protocols::postcard
