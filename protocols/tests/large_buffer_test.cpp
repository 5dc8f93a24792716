#include "protocols/large_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocols/signals.hpp"

namespace protocols {
namespace {

TEST(LargeBuffer, VectorsBelowAndAboveTheMappingSizeHoldTheirContent) {
    for (std::size_t count : {std::size_t{10}, std::size_t{600'000}, std::size_t{9'000'000}}) {
        signals::SampleVector samples(count);
        for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<std::int16_t>(i);
        signals::SampleVector copy = samples;
        copy.push_back(7);  // reallocates into a differently sized block
        ASSERT_EQ(copy.size(), count + 1);
        EXPECT_EQ(copy[count - 1], static_cast<std::int16_t>(count - 1));
        EXPECT_EQ(copy.back(), 7);
        EXPECT_TRUE(std::equal(samples.begin(), samples.end(), copy.begin()));
    }
}

TEST(LargeBuffer, UsableSizeIsReallyUsable) {
    for (std::size_t bytes : {std::size_t{100}, std::size_t{1} << 20, (std::size_t{3} << 20) + 5}) {
        const std::size_t usable = detail::large_usable_size(bytes);
        ASSERT_GE(usable, bytes);
        void* p = detail::large_allocate(bytes);
        std::memset(p, 0xab, usable);
        EXPECT_EQ(static_cast<unsigned char*>(p)[usable - 1], 0xab);
        detail::large_deallocate(p, usable);
    }
}

// A freed mapping comes back for the next request that fits (trimmed when
// longer), and what is held for reuse stays bounded.
TEST(LargeBuffer, FreedMappingsAreReusedWithinABound) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    void* first = detail::large_allocate(6 * kMiB);
    detail::large_deallocate(first, 6 * kMiB);
    EXPECT_EQ(detail::large_allocate(6 * kMiB), first);
    detail::large_deallocate(first, 6 * kMiB);

    void* longer = detail::large_allocate(14 * kMiB);
    detail::large_deallocate(longer, 14 * kMiB);
    void* trimmed = detail::large_allocate(12 * kMiB);
    EXPECT_EQ(trimmed, longer);
    std::memset(trimmed, 1, 12 * kMiB);  // whole and writable
    detail::large_deallocate(trimmed, 12 * kMiB);

    std::vector<void*> held;
    for (int i = 0; i < 6; ++i) held.push_back(detail::large_allocate(30 * kMiB));
    for (void* p : held) detail::large_deallocate(p, 30 * kMiB);
    EXPECT_LE(detail::large_cached_bytes(), 64 * kMiB);
    EXPECT_GT(detail::large_cached_bytes(), 0u);
    void* big = detail::large_allocate(100 * kMiB);  // more than is ever kept
    detail::large_deallocate(big, 100 * kMiB);
    EXPECT_LE(detail::large_cached_bytes(), 64 * kMiB);
}

}  // namespace
}  // namespace protocols
