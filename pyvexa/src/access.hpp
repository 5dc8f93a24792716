// Per-object access flag: free, shared by readers, or held by one writer.
// Re-entrant use (for example from an argument's __float__) is refused
// instead of letting two calls change one record at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "errors.hpp"

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

    bool is_free() const noexcept { return state_.load(std::memory_order_acquire) == 0; }

private:
    static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};
    std::atomic<std::uintptr_t> state_{0};
};

// Holds shared access for its lifetime; throws RuntimeError when a writer
// holds the object.
class SharedAccess {
public:
    explicit SharedAccess(AccessFlag& flag) : flag_(&flag) {
        if (!flag.try_acquire_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    SharedAccess(SharedAccess&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    SharedAccess& operator=(SharedAccess&&) = delete;
    ~SharedAccess() {
        if (flag_ != nullptr) flag_->release_shared();
    }

private:
    AccessFlag* flag_;
};

// Holds exclusive access for its lifetime; throws RuntimeError when any
// access is held.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(AccessFlag& flag) : flag_(&flag) {
        if (!flag.try_acquire_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
    }
    ExclusiveAccess(ExclusiveAccess&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(ExclusiveAccess&&) = delete;
    ~ExclusiveAccess() {
        if (flag_ != nullptr) flag_->release_exclusive();
    }

private:
    AccessFlag* flag_;
};

}  // namespace pyvexa
