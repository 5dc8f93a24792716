#include "guarded_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>

namespace protocols::testing {

namespace {

std::size_t page_size() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

sigjmp_buf g_landing;

void jump_back(int) { siglongjmp(g_landing, 1); }

}  // namespace

GuardedRegion::GuardedRegion(std::size_t usable_bytes) {
    const std::size_t page = page_size();
    size_ = (usable_bytes + page - 1) / page * page;
    if (size_ == 0) size_ = page;
    mapping_size_ = size_ + 2 * page;
    void* mapping = ::mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::runtime_error("mmap failed");
    mapping_ = static_cast<char*>(mapping);
    usable_ = mapping_ + page;
    if (::mprotect(mapping_, page, PROT_NONE) != 0 || ::mprotect(usable_ + size_, page, PROT_NONE) != 0) {
        ::munmap(mapping_, mapping_size_);
        throw std::runtime_error("mprotect failed");
    }
}

GuardedRegion::~GuardedRegion() { ::munmap(mapping_, mapping_size_); }

const char* edge_name(Edge edge) noexcept { return edge == Edge::Low ? "low" : "high"; }

FaultTrap::FaultTrap() {
    struct sigaction action {};
    action.sa_handler = jump_back;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGSEGV, &action, &old_segv_);
    sigaction(SIGBUS, &action, &old_bus_);
}

FaultTrap::~FaultTrap() {
    sigaction(SIGSEGV, &old_segv_, nullptr);
    sigaction(SIGBUS, &old_bus_, nullptr);
}

sigjmp_buf* FaultTrap::landing() noexcept { return &g_landing; }

}  // namespace protocols::testing
