// Per-object access flag: free, shared by readers, or held by one writer.
// Re-entrant use (for example from an argument's __float__) is refused
// instead of letting two calls change one record at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "errors.hpp"

namespace pyvexa {

// Every use happens with the interpreter lock held, which already orders
// them, so plain loads and stores do: an atomic read-modify-write costs more
// than the rest of a setter call.
class AccessFlag {
public:
    bool try_acquire_shared() noexcept {
        const std::uintptr_t current = state_.load(std::memory_order_relaxed);
        if (current >= kExclusive - 1) return false;  // writer present, or count saturated
        state_.store(current + 1, std::memory_order_relaxed);
        return true;
    }
    void release_shared() noexcept { state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed); }

    bool try_acquire_exclusive() noexcept {
        if (state_.load(std::memory_order_relaxed) != 0) return false;
        state_.store(kExclusive, std::memory_order_relaxed);
        return true;
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_relaxed); }

    bool is_free() const noexcept { return state_.load(std::memory_order_relaxed) == 0; }

private:
    static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};
    // Atomic only so that a stray unlocked read is not undefined behaviour.
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
