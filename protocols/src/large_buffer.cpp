#include "protocols/large_buffer.hpp"

#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <mutex>

namespace protocols::detail {

namespace {

// Below this, the general-purpose heap is cheaper than a mapping.
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
// Mappings are whole huge pages so the kernel can back them with THP.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool is_mapped(std::size_t bytes) noexcept { return bytes >= kMapThreshold; }

std::size_t round_to_huge_page(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// Freed mappings kept for the next large request. Rewriting resident pages
// costs a fraction of what faulting in and zeroing fresh ones does, and
// scripts build protocols of the same size one after another. Bounded like
// a malloc arena's retained top: a few entries, 64 MiB in all.
class MappingCache {
public:
    // A cached mapping of exactly `length` bytes (a longer one trimmed), or nullptr.
    void* take(std::size_t length) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i) {
            if (entries_[i].length >= length && (best == count_ || entries_[i].length < entries_[best].length)) {
                best = i;
            }
        }
        if (best == count_) return nullptr;
        Entry entry = entries_[best];
        remove(best);
        if (entry.length > length) ::munmap(static_cast<char*>(entry.start) + length, entry.length - length);
        return entry.start;
    }

    std::size_t bytes() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

    // Keeps the mapping, evicting the oldest ones to make room; false when
    // it is too large to keep.
    bool keep(void* start, std::size_t length) noexcept {
        if (length > kMaxBytes) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        while (count_ == kMaxEntries || bytes_ + length > kMaxBytes) {
            ::munmap(entries_[0].start, entries_[0].length);
            remove(0);
        }
        entries_[count_++] = Entry{start, length};
        bytes_ += length;
        return true;
    }

private:
    struct Entry {
        void* start;
        std::size_t length;
    };
    static constexpr std::size_t kMaxEntries = 4;
    static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

    void remove(std::size_t index) noexcept {
        bytes_ -= entries_[index].length;
        for (std::size_t i = index + 1; i < count_; ++i) entries_[i - 1] = entries_[i];
        --count_;
    }

    std::mutex mutex_;
    std::array<Entry, kMaxEntries> entries_{};
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
};

// Constant-initialised with a trivial destructor, so buffers freed by
// other static destructors at exit still find it.
constinit MappingCache g_mapping_cache;

MappingCache& mapping_cache() noexcept { return g_mapping_cache; }

std::size_t mapped_length(std::size_t bytes) {
    if (bytes > static_cast<std::size_t>(-1) - (kHugePage - 1)) throw std::bad_alloc();
    return round_to_huge_page(bytes);
}

}  // namespace

void* large_allocate(std::size_t bytes) {
    if (!is_mapped(bytes)) return ::operator new(bytes);
    const std::size_t length = mapped_length(bytes);
    if (void* reused = mapping_cache().take(length)) return reused;
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
    const std::size_t length = round_to_huge_page(bytes);
    if (!mapping_cache().keep(p, length)) ::munmap(p, length);
}

std::size_t large_cached_bytes() noexcept { return mapping_cache().bytes(); }

std::size_t large_usable_size(std::size_t bytes) noexcept {
    if (!is_mapped(bytes) || bytes > static_cast<std::size_t>(-1) - (kHugePage - 1)) return bytes;
    return round_to_huge_page(bytes);
}

}  // namespace protocols::detail
