#include "protocols/page_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>

namespace protocols::memory {

namespace {

// From one huge page on a mapping is aligned and advised for huge pages.
bool wants_huge_pages(std::size_t length) noexcept { return length >= huge_page_size(); }

// What the kernel reports for transparent huge pages, or 0.
std::size_t reported_huge_page_size() noexcept {
    std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", "re");
    if (f == nullptr) return 0;
    unsigned long long size = 0;
    const bool read = std::fscanf(f, "%llu", &size) == 1;
    std::fclose(f);
    return read ? static_cast<std::size_t>(size) : 0;
}

bool is_power_of_two(std::size_t n) noexcept { return n != 0 && (n & (n - 1)) == 0; }

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
    const std::size_t huge = huge_page_size();
    const std::size_t slack = huge - page_size();
    if (length > std::numeric_limits<std::size_t>::max() - slack) throw std::bad_alloc();
    void* raw = ::mmap(nullptr, length + slack, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + huge - 1) & ~std::uintptr_t{huge - 1};
    const std::size_t head = aligned - start;
    if (head != 0) ::munmap(raw, head);
    if (slack != head) ::munmap(reinterpret_cast<void*>(aligned + length), slack - head);
    return reinterpret_cast<void*>(aligned);
}

// Freed mappings kept for the next buffer of their size, their pages given
// to the kernel with MADV_FREE: it takes them back whenever it needs memory
// (they then read as zero), and until then the next buffer is written
// without a page fault or the kernel zeroing a page. Scripts build and save
// protocols of one size after another. A few entries, 64 MiB in all.
class LazyFreeCache {
public:
    // A kept mapping of exactly `length` bytes (a longer one trimmed), or nullptr.
    void* take(std::size_t length) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i) {
            if (entries_[i].length >= length && (best == count_ || entries_[i].length < entries_[best].length)) {
                best = i;
            }
        }
        if (best == count_) return nullptr;
        const Entry entry = entries_[best];
        remove(best);
        if (entry.length > length) ::munmap(static_cast<char*>(entry.start) + length, entry.length - length);
        return entry.start;
    }

    // Keeps the mapping, evicting the oldest to make room; false when it is
    // too large to keep or the kernel cannot free its pages lazily.
    bool keep(void* start, std::size_t length) noexcept {
        if (length > kMaxBytes || !lazily_free(start, length)) return false;
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

    static bool lazily_free([[maybe_unused]] void* start, [[maybe_unused]] std::size_t length) noexcept {
#ifdef MADV_FREE
        return ::madvise(start, length, MADV_FREE) == 0;
#else
        return false;
#endif
    }

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

// Constant-initialised with a trivial destructor, so buffers freed by other
// static destructors at exit still find it.
constinit LazyFreeCache g_lazy_free_cache;

}  // namespace

std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t huge_page_size() noexcept {
    // Without the kernel's word, the size one page-table entry above a page
    // spans: a page's worth of 8-byte entries, each mapping one page.
    static const std::size_t size = [] {
        const std::size_t reported = reported_huge_page_size();
        if (is_power_of_two(reported) && reported > page_size()) return reported;
        return page_size() / 8 * page_size();
    }();
    return size;
}

std::size_t mapped_length(std::size_t bytes) {
    const std::size_t page = page_size();
    if (bytes > std::numeric_limits<std::size_t>::max() - (page - 1)) throw std::bad_alloc();
    return (bytes + page - 1) & ~(page - 1);
}

void* map_pages(std::size_t bytes) {
    const std::size_t length = mapped_length(bytes);
    if (void* kept = g_lazy_free_cache.take(length)) return kept;
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
    if (start == nullptr) return;
    const std::size_t length = mapped_length(bytes);
    if (!g_lazy_free_cache.keep(start, length)) ::munmap(start, length);
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
