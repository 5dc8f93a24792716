// Memory with an inaccessible page on each side, and a way to run code that
// may touch it: a loop that reads or writes one byte past its data faults
// here, where heap slack would hide the overrun.
#pragma once

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>

namespace protocols::testing {

// [PROT_NONE page][usable pages][PROT_NONE page]
class GuardedRegion {
public:
    explicit GuardedRegion(std::size_t usable_bytes);
    ~GuardedRegion();
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;

    // First usable byte; the byte before it is inaccessible.
    char* low() const noexcept { return usable_; }
    // One past the last usable byte, which is inaccessible.
    char* high() const noexcept { return usable_ + size_; }
    std::size_t size() const noexcept { return size_; }

private:
    char* mapping_;
    std::size_t mapping_size_;
    char* usable_;
    std::size_t size_;
};

// Where a block of data sits in a region: its first byte right after the
// lower guard, or its last byte right before the upper one.
enum class Edge { Low, High };
const char* edge_name(Edge edge) noexcept;
inline void PrintTo(Edge edge, std::ostream* os) { *os << edge_name(edge); }

// Address of the block of `span` bytes placed against `edge`.
inline char* place(const GuardedRegion& region, Edge edge, std::size_t span) noexcept {
    return edge == Edge::Low ? region.low() : region.high() - span;
}

// Catches SIGSEGV and SIGBUS while it lives, turning a fault inside run()
// into a false result instead of the end of the test process.
class FaultTrap {
public:
    FaultTrap();
    ~FaultTrap();
    FaultTrap(const FaultTrap&) = delete;
    FaultTrap& operator=(const FaultTrap&) = delete;

    // Runs body(); false when it faulted. The body must own no resources
    // of its own, since a fault leaves it without unwinding.
    template <class Body>
    bool run(Body&& body) {
        if (sigsetjmp(*landing(), 1) != 0) return false;
        body();
        return true;
    }

private:
    static sigjmp_buf* landing() noexcept;
    struct sigaction old_segv_;
    struct sigaction old_bus_;
};

// A double stored at an address of any alignment.
inline void store_double(char* at, double value) noexcept { std::memcpy(at, &value, sizeof value); }
inline double load_double(const char* at) noexcept {
    double value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace protocols::testing
