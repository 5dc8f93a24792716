#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "memory_probe.hpp"
#include "protocols/postcard.hpp"
#include "protocols/signals.hpp"

namespace protocols::postcard {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer touches one shadow byte per eight bytes written.
constexpr double kShadowShare = 0.125;
#else
constexpr double kShadowShare = 0.0;
#endif

// Appends pieces of mixed sizes across the move from heap to pages and many
// growths; the buffer always equals a plain copy of everything appended.
TEST(ByteBuffer, PiecesOfEverySizeArriveInOrder) {
    ByteBuffer buffer;
    std::vector<std::uint8_t> expected;
    std::uint8_t next = 0;
    for (std::size_t piece : {1u, 255u, 1u, 4096u, 60'000u, 7u, 70'000u, 1'000'000u, 3u, 5'000'000u, 9u}) {
        std::vector<std::uint8_t> bytes(piece);
        for (auto& b : bytes) b = next++;
        buffer.append(bytes.data(), bytes.size());
        buffer.push_back(next);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        expected.push_back(next++);
        ASSERT_EQ(buffer.size(), expected.size());
        ASSERT_GE(buffer.capacity(), buffer.size());
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), buffer.data())) << "after a piece of " << piece;
    }
}

TEST(ByteBuffer, MoveAssignmentReleasesTheOldBytesAndTakesTheNew) {
    for (std::size_t first : {10u, 200'000u}) {
        for (std::size_t second : {10u, 3'000'000u}) {
            ByteBuffer target;
            for (std::size_t i = 0; i < first; ++i) target.push_back(1);
            ByteBuffer source;
            for (std::size_t i = 0; i < second; ++i) source.push_back(static_cast<std::uint8_t>(i));
            target = std::move(source);
            ASSERT_EQ(target.size(), second);
            EXPECT_EQ(target.data()[second - 1], static_cast<std::uint8_t>(second - 1));
            EXPECT_EQ(source.size(), 0u);
            source.push_back(9);  // a moved-from buffer is empty and usable
            EXPECT_EQ(source.data()[0], 9);
        }
    }
}

// Room reserved but not written is address space, not memory.
TEST(ByteBuffer, ReservedRoomCostsNoMemoryUntilWritten) {
    SKIP_MEMORY_TEST_UNDER_EMULATION();
    ByteBuffer buffer;
    buffer.push_back(42);
    const std::int64_t before = testing_memory::resident_bytes();
    constexpr std::size_t kReserve = std::size_t{4} << 30;
    std::uint8_t* tail = buffer.reserve_tail(kReserve);
    tail[kReserve - 1] = 7;
    buffer.commit(kReserve);
    EXPECT_LE(testing_memory::resident_bytes() - before, static_cast<std::int64_t>(16 * kMiB));
    EXPECT_EQ(buffer.data()[0], 42);
    EXPECT_EQ(buffer.data()[kReserve], 7);
}

// Encoding many large sample runs, the peak is the encoding itself: the
// worst-case reservations and the growth leave no second copy behind.
TEST(ByteBuffer, AnEncodingIsHeldOnce) {
    SKIP_MEMORY_TEST_UNDER_EMULATION();
    signals::SampleVector samples(4'000'000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>((i * 2654435761u) & 0x7FFF);
    testing_memory::reset_peak();
    const std::int64_t before = testing_memory::resident_bytes();
    ByteBuffer buffer;
    for (int run = 0; run < 12; ++run) write_samples(buffer, samples.data(), samples.size());
    const double peak = static_cast<double>(testing_memory::peak_resident_bytes() - before);
    const double size = static_cast<double>(buffer.size());
    ASSERT_GT(size, 12.0 * 2 * 4'000'000);
    EXPECT_LE(peak, size * (1.05 + kShadowShare) + 8.0 * kMiB) << "encoded " << size << " bytes";
}

}  // namespace
}  // namespace protocols::postcard
