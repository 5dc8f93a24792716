// Allocator of the sample buffers of arbitrary signals. It differs from
// std::allocator in two ways only:
// - blocks of 64 KiB and more are page mappings of their own (see
//   page_memory.hpp), so a freed signal's memory goes back to the system at
//   once instead of staying in the heap;
// - resize() default-initialises its new elements instead of zeroing
//   them: the sample conversion overwrites every one of them next, and
//   zeroing 18 MB first would be a whole extra pass over the buffer.
// Copies, assignment and construction with a value behave as usual.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "protocols/page_memory.hpp"

namespace protocols {

template <class T>
class SampleAllocator {
    static_assert(std::is_trivially_copyable_v<T>, "page mappings hold plain values only");

public:
    using value_type = T;

    SampleAllocator() noexcept = default;
    template <class U>
    SampleAllocator(const SampleAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < memory::kMapThreshold) return static_cast<T*>(::operator new(bytes));
        return static_cast<T*>(memory::map_pages(bytes));
    }

    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < memory::kMapThreshold) {
            ::operator delete(p);
        } else {
            memory::unmap_pages(p, bytes);
        }
    }

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const SampleAllocator&, const SampleAllocator&) noexcept { return true; }
};

}  // namespace protocols
