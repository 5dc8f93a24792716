// One-time initialisation of per-process state, safe with the interpreter
// lock: the initialiser may run Python code (and so let the lock go), other
// threads wait for it with the lock released, and a failure leaves the cell
// empty so that the next caller tries again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "glue.hpp"

namespace pyvexa {

template <class T>
class OnceCell {
public:
    OnceCell() = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    // The stored value, or nullptr while the cell is empty; never blocks.
    const T* peek() const noexcept {
        return ready_.load(std::memory_order_acquire) ? &*value_ : nullptr;
    }

    // The stored value, computed by `init()` (returns T, throws on failure)
    // if the cell is empty. Caller holds the interpreter lock.
    template <class Init>
    const T& get_or_init(Init&& init) {
        if (const T* value = peek()) return *value;
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (ready_.load(std::memory_order_relaxed)) return *value_;
            if (!running_) break;
            if (owner_ == self) {
                // Re-entered from our own initialiser: compute nested, first result wins.
                lock.unlock();
                T nested = init();
                lock.lock();
                publish(std::move(nested));
                return *value_;
            }
            // Let the initialising thread have the interpreter lock while we wait.
            // The mutex is never held while taking the interpreter lock back.
            lock.unlock();
            PyThreadState* saved = PyEval_SaveThread();
            {
                std::unique_lock<std::mutex> wait_lock(mutex_);
                done_.wait(wait_lock, [this] { return !running_; });
            }
            PyEval_RestoreThread(saved);
            lock.lock();
        }
        running_ = true;
        owner_ = self;
        lock.unlock();
        try {
            T fresh = init();
            lock.lock();
            publish(std::move(fresh));
            finish();
            return *value_;
        } catch (...) {
            if (!lock.owns_lock()) lock.lock();
            finish();
            throw;
        }
    }

private:
    // Stores `value` unless a value is already there; mutex held.
    void publish(T&& value) {
        if (ready_.load(std::memory_order_relaxed)) return;
        value_.emplace(std::move(value));
        ready_.store(true, std::memory_order_release);
    }
    // Ends this thread's initialisation and wakes the waiters; mutex held.
    void finish() noexcept {
        running_ = false;
        owner_ = std::thread::id();
        done_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable done_;
    std::atomic<bool> ready_{false};
    bool running_ = false;
    std::thread::id owner_;
    std::optional<T> value_;
};

}  // namespace pyvexa
