#include "protocols/large_buffer.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace protocols::detail {

namespace {

// Below this, the general-purpose heap is cheaper than a mapping.
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
// Mappings are whole huge pages so the kernel can back them with THP.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool is_mapped(std::size_t bytes) noexcept { return bytes >= kMapThreshold; }

std::size_t round_to_huge_page(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

std::size_t mapped_length(std::size_t bytes) {
    if (bytes > static_cast<std::size_t>(-1) - (kHugePage - 1)) throw std::bad_alloc();
    return round_to_huge_page(bytes);
}

}  // namespace

void* large_allocate(std::size_t bytes) {
    if (!is_mapped(bytes)) return ::operator new(bytes);
    const std::size_t length = mapped_length(bytes);
    // Map one huge page more and trim to a 2 MiB boundary: the kernel backs
    // only aligned 2 MiB ranges with huge pages.
    if (length > static_cast<std::size_t>(-1) - kHugePage) throw std::bad_alloc();
    void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    if (const std::size_t head = aligned - start; head != 0) ::munmap(raw, head);
    if (const std::size_t tail = kHugePage - (aligned - start); tail != 0) {
        ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    }
    void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    // Only a hint: kernels without THP refuse it and the mapping still works.
    (void)::madvise(p, length, MADV_HUGEPAGE);
#endif
    return p;
}

void large_deallocate(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (!is_mapped(bytes)) {
        ::operator delete(p);
        return;
    }
    ::munmap(p, round_to_huge_page(bytes));
}

std::size_t large_usable_size(std::size_t bytes) noexcept {
    if (!is_mapped(bytes) || bytes > static_cast<std::size_t>(-1) - (kHugePage - 1)) return bytes;
    return round_to_huge_page(bytes);
}

}  // namespace protocols::detail
