#include "protocols/byte_input.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <numeric>
#include <thread>
#include <vector>

namespace protocols::postcard {
namespace {

std::vector<std::uint8_t> counting_bytes(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

// Reads the whole input through ensure/fill in steps of `step`, checking each
// byte against its offset.
void read_all_and_check(ByteInput& in, const std::vector<std::uint8_t>& expected, std::size_t step) {
    std::size_t at = 0;
    while (at < expected.size()) {
        ASSERT_EQ(in.offset(), at);
        const std::size_t want = std::min(step, ByteInput::kMaxLookahead);
        const std::size_t have = in.ensure(want);
        ASSERT_EQ(have, std::min(want, expected.size() - at));
        for (std::size_t k = 0; k < have; ++k) ASSERT_EQ(in.cursor()[k], expected[at + k]) << at + k;
        in.advance(have);
        at += have;
        // A bulk step past the lookahead, as strings and samples take.
        if (step > ByteInput::kMaxLookahead && in.fill() > 0) {
            const std::size_t bulk = std::min(in.buffered(), step);
            ASSERT_TRUE(std::equal(in.cursor(), in.cursor() + bulk, expected.begin() + static_cast<long>(at)));
            in.advance(bulk);
            at += bulk;
        }
    }
    EXPECT_EQ(in.fill(), 0u);
    EXPECT_EQ(in.ensure(1), 0u);
    ASSERT_TRUE(in.remaining().has_value());
    EXPECT_EQ(*in.remaining(), 0u);
}

class ByteInputSteps : public testing::TestWithParam<std::size_t> {};

TEST_P(ByteInputSteps, PipeInSmallWritesGivesEveryByteAtItsOffset) {
    const auto expected = counting_bytes(ByteInput::kBufferSize * 2 + 12345);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        for (std::size_t at = 0; at < expected.size();) {
            const std::size_t piece = std::min<std::size_t>(3 + at % 9000, expected.size() - at);
            const ssize_t n = ::write(fds[1], expected.data() + at, piece);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        ::close(fds[1]);
    });
    {
        ByteInput in(fds[0]);
        EXPECT_FALSE(in.remaining().has_value());  // a pipe has no size until it ends
        read_all_and_check(in, expected, GetParam());
    }
    writer.join();
    ::close(fds[0]);
}

TEST_P(ByteInputSteps, RegularFileKnowsItsSizeFromTheStart) {
    const auto expected = counting_bytes(ByteInput::kBufferSize + 77);
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(expected.data(), 1, expected.size(), file), expected.size());
    ASSERT_EQ(std::fflush(file), 0);
    const int fd = ::fileno(file);
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    ByteInput in(fd);
    ASSERT_TRUE(in.remaining().has_value());
    EXPECT_EQ(*in.remaining(), expected.size());
    read_all_and_check(in, expected, GetParam());
    std::fclose(file);
}

TEST_P(ByteInputSteps, MemoryIsAllAtHand) {
    const auto expected = counting_bytes(5000);
    ByteInput in{std::span<const std::uint8_t>(expected)};
    EXPECT_EQ(in.buffered(), expected.size());
    read_all_and_check(in, expected, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Steps, ByteInputSteps, testing::Values(1, 3, 16, 4096, 1 << 20));

TEST(ByteInput, ReadFailureCarriesErrno) {
    const int fd = ::open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ByteInput in(fd);
    try {
        in.fill();
        FAIL() << "read of a directory succeeded";
    } catch (const InputError& e) {
        EXPECT_EQ(e.error(), EISDIR);
    }
    ::close(fd);
}

}  // namespace
}  // namespace protocols::postcard
