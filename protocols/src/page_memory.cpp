#include "protocols/page_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <new>

namespace protocols::memory {

namespace {

// From this length on a mapping is aligned and advised for huge pages.
constexpr std::size_t kHugeThreshold = kHugePage;

bool wants_huge_pages(std::size_t length) noexcept { return length >= kHugeThreshold; }

void advise_huge_pages([[maybe_unused]] void* start, [[maybe_unused]] std::size_t length) noexcept {
#ifdef MADV_HUGEPAGE
    // Only a hint: kernels without transparent huge pages refuse it and the
    // mapping works the same.
    (void)::madvise(start, length, MADV_HUGEPAGE);
#endif
}

// A range of `length` bytes starting on a huge-page boundary, mapped with
// `protection`: map one huge page more than asked, then trim both ends.
void* map_aligned(std::size_t length, int protection) {
    const std::size_t slack = kHugePage - page_size();
    if (length > std::numeric_limits<std::size_t>::max() - slack) throw std::bad_alloc();
    void* raw = ::mmap(nullptr, length + slack, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    const std::size_t head = aligned - start;
    if (head != 0) ::munmap(raw, head);
    if (slack != head) ::munmap(reinterpret_cast<void*>(aligned + length), slack - head);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t mapped_length(std::size_t bytes) {
    const std::size_t page = page_size();
    if (bytes > std::numeric_limits<std::size_t>::max() - (page - 1)) throw std::bad_alloc();
    return (bytes + page - 1) & ~(page - 1);
}

void* map_pages(std::size_t bytes) {
    const std::size_t length = mapped_length(bytes);
    if (!wants_huge_pages(length)) {
        void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        return p;
    }
    void* p = map_aligned(length, PROT_READ | PROT_WRITE);
    advise_huge_pages(p, length);
    return p;
}

void unmap_pages(void* start, std::size_t bytes) noexcept {
    if (start != nullptr) ::munmap(start, mapped_length(bytes));
}

void* remap_pages(void* start, std::size_t old_bytes, std::size_t new_bytes) {
    const std::size_t old_length = mapped_length(old_bytes);
    const std::size_t new_length = mapped_length(new_bytes);
    if (new_length <= old_length) return start;
    void* moved = ::mremap(start, old_length, new_length, 0);  // in place when the next pages are free
    if (moved == MAP_FAILED && wants_huge_pages(new_length)) {
        // Move onto an aligned placeholder so that whole huge pages stay
        // whole; mremap replaces the placeholder's pages.
        void* target = map_aligned(new_length, PROT_NONE);
        moved = ::mremap(start, old_length, new_length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
        if (moved == MAP_FAILED) ::munmap(target, new_length);
    } else if (moved == MAP_FAILED) {
        moved = ::mremap(start, old_length, new_length, MREMAP_MAYMOVE);
    }
    if (moved == MAP_FAILED) throw std::bad_alloc();
    if (wants_huge_pages(new_length)) advise_huge_pages(moved, new_length);
    return moved;
}

}  // namespace protocols::memory
