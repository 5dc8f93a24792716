// Per-object access flag: free, shared by readers, or held by one writer.
// Re-entrant use (for example from an argument's __float__) is refused
// instead of letting two calls change one record at once. Plain C++, so
// that its tests build without Python.
#pragma once

#include <atomic>
#include <cstdint>

namespace pyvexa {

// The state is changed only by atomic read-modify-write operations, so two
// callers can never both win it, whatever lock they hold or do not hold.
class AccessFlag {
public:
    bool try_acquire_shared() noexcept {
        std::uintptr_t current = state_.load(std::memory_order_relaxed);
        do {
            if (current >= kExclusive - 1) return false;  // writer present, or count saturated
        } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    bool try_acquire_exclusive() noexcept {
        std::uintptr_t expected = 0;
        return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};
    std::atomic<std::uintptr_t> state_{0};
};

// The two kinds of access.
struct Shared {
    static bool acquire(AccessFlag& flag) noexcept { return flag.try_acquire_shared(); }
    static void release(AccessFlag& flag) noexcept { flag.release_shared(); }
};

struct Exclusive {
    static bool acquire(AccessFlag& flag) noexcept { return flag.try_acquire_exclusive(); }
    static void release(AccessFlag& flag) noexcept { flag.release_exclusive(); }
};

}  // namespace pyvexa
