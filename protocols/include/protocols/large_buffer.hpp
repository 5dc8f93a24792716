// Allocator for the large buffers of the model (sample arrays, encoded
// files). Big requests are mapped directly and offered transparent huge
// pages, which makes first-touch of tens of megabytes several times cheaper
// than faulting 4 KB pages. A few freed mappings are kept and handed out
// again, already resident. Elements are default-initialised, so growing a
// vector of integers does not zero memory that is overwritten next.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace protocols {

namespace detail {
void* large_allocate(std::size_t bytes);              // throws std::bad_alloc
void large_deallocate(void* p, std::size_t bytes) noexcept;
// The bytes an allocation of `bytes` really provides (mappings are rounded
// up); allocating and freeing with this size is equivalent.
std::size_t large_usable_size(std::size_t bytes) noexcept;
// Bytes of freed mappings held for reuse (at most 64 MiB).
std::size_t large_cached_bytes() noexcept;
}  // namespace detail

template <class T>
class LargeBufferAllocator {
public:
    using value_type = T;

    LargeBufferAllocator() noexcept = default;
    template <class U>
    LargeBufferAllocator(const LargeBufferAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(detail::large_allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { detail::large_deallocate(p, n * sizeof(T)); }

    // Default-initialise instead of value-initialise (no zeroing of ints).
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const LargeBufferAllocator&, const LargeBufferAllocator&) noexcept { return true; }
};

}  // namespace protocols
