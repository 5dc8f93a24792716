#include "protocols/page_memory.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "memory_probe.hpp"
#include "protocols/signals.hpp"

namespace protocols {
namespace {

constexpr std::size_t kKiB = std::size_t{1} << 10;
constexpr std::size_t kMiB = std::size_t{1} << 20;

bool is_mapped(const void* start, std::size_t length) {
    std::vector<unsigned char> pages(length / memory::page_size() + 1);
    return ::mincore(const_cast<void*>(start), length, pages.data()) == 0;
}

void fill(void* start, std::size_t length, std::uint8_t seed) {
    auto* bytes = static_cast<std::uint8_t*>(start);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 12));
}

bool holds(const void* start, std::size_t length, std::uint8_t seed) {
    const auto* bytes = static_cast<const std::uint8_t*>(start);
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] != static_cast<std::uint8_t>(seed + i * 7 + (i >> 12))) return false;
    }
    return true;
}

bool all_zero(const void* start, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(start);
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

bool huge_aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % memory::huge_page_size() == 0; }

// Both sizes are the running system's: a huge page is a power of two
// pages, as large as the kernel reports where it does.
TEST(PageMemory, PageSizesAreTheSystems) {
    const std::size_t page = memory::page_size();
    const std::size_t huge = memory::huge_page_size();
    EXPECT_EQ(page, static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
    EXPECT_GT(huge, page);
    EXPECT_EQ(huge & (huge - 1), 0u);
    std::ifstream in("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size");
    std::size_t reported = 0;
    if (in >> reported) {
        EXPECT_EQ(huge, reported);
    }
}

class MapSizes : public ::testing::TestWithParam<std::size_t> {};

// Writable up to the rounded length and no further rounding; large ones
// start on a huge-page boundary.
TEST_P(MapSizes, MapsWholePagesOfTheRequestedLength) {
    const std::size_t bytes = GetParam();
    const std::size_t length = memory::mapped_length(bytes);
    ASSERT_GE(length, bytes);
    ASSERT_LT(length - bytes, memory::page_size());
    void* p = memory::map_pages(bytes);
    EXPECT_TRUE(is_mapped(p, length));
    fill(p, length, 3);
    EXPECT_TRUE(holds(p, length, 3));
    if (length >= memory::huge_page_size()) {
        EXPECT_TRUE(huge_aligned(p));
    }
    memory::unmap_pages(p, bytes);
}

INSTANTIATE_TEST_SUITE_P(PageMemory, MapSizes,
                         ::testing::Values(1, 4095, 4096, 4097, 64 * kKiB, 2 * kMiB - 1, 2 * kMiB, 2 * kMiB + 1,
                                           3 * kMiB + 5, 18 * kMiB + 12345));

// Grows step by step from one page to 64 MiB; every step keeps what was
// written and adds zeroed, writable pages.
TEST(PageMemory, GrowingKeepsContentAndAddsZeroedPages) {
    std::size_t bytes = memory::page_size();
    void* p = memory::map_pages(bytes);
    fill(p, bytes, 11);
    while (bytes < 64 * kMiB) {
        const std::size_t grown = bytes * 2 + 100;
        p = memory::remap_pages(p, bytes, grown);
        ASSERT_TRUE(holds(p, bytes, 11)) << "after growing to " << grown;
        ASSERT_TRUE(all_zero(static_cast<std::uint8_t*>(p) + bytes, memory::mapped_length(grown) - bytes));
        fill(p, memory::mapped_length(grown), 11);
        bytes = memory::mapped_length(grown);
    }
    memory::unmap_pages(p, bytes);
}

class BlockedGrowth : public ::testing::TestWithParam<std::size_t> {};

// With the next page taken, growth has to move the pages: the content comes
// along, the old range is gone, and large mappings land aligned.
TEST_P(BlockedGrowth, MovesWhenItCannotGrowInPlace) {
    const std::size_t bytes = GetParam();
    const std::size_t length = memory::mapped_length(bytes);
    void* p = memory::map_pages(bytes);
    fill(p, length, 5);
    void* blocker = ::mmap(static_cast<std::uint8_t*>(p) + length, memory::page_size(), PROT_READ,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    const bool placed = blocker != MAP_FAILED && blocker == static_cast<std::uint8_t*>(p) + length;
    ASSERT_TRUE(placed || errno == EEXIST);  // either way the next page is taken

    void* moved = memory::remap_pages(p, bytes, bytes * 3);
    EXPECT_NE(moved, p);
    EXPECT_TRUE(holds(moved, length, 5));
    EXPECT_TRUE(all_zero(static_cast<std::uint8_t*>(moved) + length, memory::mapped_length(bytes * 3) - length));
    EXPECT_FALSE(is_mapped(p, length));
    if (memory::mapped_length(bytes * 3) >= memory::huge_page_size()) {
        EXPECT_TRUE(huge_aligned(moved));
    }
    memory::unmap_pages(moved, bytes * 3);
    if (placed) ::munmap(blocker, memory::page_size());
}

INSTANTIATE_TEST_SUITE_P(PageMemory, BlockedGrowth, ::testing::Values(64 * kKiB, 1 * kMiB, 4 * kMiB + 3));

// The costs the allocator exists to avoid: buffers rounded up to huge pages,
// and freed buffers that stay resident.
TEST(PageMemory, ResidentMemoryFollowsTheBuffersHeld) {
    SKIP_MEMORY_TEST_UNDER_EMULATION();
    for (std::size_t bytes : {64 * kKiB, 1100 * kKiB, 5 * kMiB + 100}) {
        const std::size_t count = 64 * kMiB / bytes;
        const std::int64_t before = testing_memory::resident_bytes();
        std::vector<void*> held;
        for (std::size_t i = 0; i < count; ++i) {
            held.push_back(memory::map_pages(bytes));
            std::memset(held.back(), 1, bytes);
        }
        const double grown = static_cast<double>(testing_memory::resident_bytes() - before);
        EXPECT_LE(grown, 1.1 * static_cast<double>(count * bytes) + 2.0 * kMiB) << bytes << "-byte buffers";
        for (std::size_t i = 0; i < count; ++i) memory::unmap_pages(held[i], bytes);
        EXPECT_LE(testing_memory::resident_bytes() - before, static_cast<std::int64_t>(2 * kMiB))
            << bytes << "-byte buffers, after freeing";
    }
}

// A freed mapping comes back for the next request that fits, its pages
// lazily freed meanwhile; what is kept stays bounded, and a mapping too
// large to keep is unmapped at once.
TEST(PageMemory, FreedMappingsAreReusedLazilyFreedAndBounded) {
    SKIP_MEMORY_TEST_UNDER_EMULATION();
    void* first = memory::map_pages(6 * kMiB);
    std::memset(first, 1, 6 * kMiB);
    const std::int64_t held = testing_memory::resident_bytes();
    memory::unmap_pages(first, 6 * kMiB);
    EXPECT_LE(testing_memory::resident_bytes(), held - static_cast<std::int64_t>(5 * kMiB));
    void* again = memory::map_pages(6 * kMiB);
    EXPECT_EQ(again, first);
    fill(again, 6 * kMiB, 9);  // whole and writable
    EXPECT_TRUE(holds(again, 6 * kMiB, 9));
    memory::unmap_pages(again, 6 * kMiB);

    const std::int64_t before = testing_memory::resident_bytes();
    std::vector<void*> many;
    for (int i = 0; i < 6; ++i) {
        many.push_back(memory::map_pages(30 * kMiB));
        std::memset(many.back(), 2, 30 * kMiB);
    }
    for (void* p : many) memory::unmap_pages(p, 30 * kMiB);
    EXPECT_LE(testing_memory::resident_bytes() - before, static_cast<std::int64_t>(2 * kMiB));
    std::size_t still_mapped = 0;
    for (void* p : many) still_mapped += is_mapped(p, 30 * kMiB) ? 1 : 0;
    EXPECT_LE(still_mapped, 2u);  // 64 MiB in all

    void* big = memory::map_pages(100 * kMiB);
    memory::unmap_pages(big, 100 * kMiB);
    EXPECT_FALSE(is_mapped(big, 100 * kMiB));
}

// The sample container goes through the heap below the threshold and
// through mappings above it; copies and growth keep every sample.
TEST(SampleAllocator, VectorsBelowAndAboveTheMappingSizeHoldTheirContent) {
    for (std::size_t count : {std::size_t{10}, std::size_t{32'767}, std::size_t{32'768}, std::size_t{9'000'000}}) {
        signals::SampleVector samples(count, 0);
        for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<std::int16_t>(i * 3);
        signals::SampleVector copy = samples;
        copy.push_back(7);  // reallocates into a block of another size
        ASSERT_EQ(copy.size(), count + 1);
        EXPECT_TRUE(std::equal(samples.begin(), samples.end(), copy.begin()));
        EXPECT_EQ(copy.back(), 7);
    }
}

}  // namespace
}  // namespace protocols
