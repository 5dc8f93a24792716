#include "protocols/large_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
}  // namespace protocols
