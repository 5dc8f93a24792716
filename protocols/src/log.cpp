#include "protocols/log.hpp"

#include <atomic>

namespace protocols::log {

namespace {
std::atomic<Sink*> g_sink{nullptr};
std::atomic<int> g_max_level{static_cast<int>(LevelFilter::Off)};
}  // namespace

void set_sink(Sink* sink) noexcept { g_sink.store(sink, std::memory_order_release); }

void set_max_level(LevelFilter filter) noexcept {
    g_max_level.store(static_cast<int>(filter), std::memory_order_relaxed);
}

LevelFilter max_level() noexcept {
    return static_cast<LevelFilter>(g_max_level.load(std::memory_order_relaxed));
}

bool enabled(Level level) noexcept {
    return static_cast<int>(level) <= g_max_level.load(std::memory_order_relaxed);
}

void emit(Level level, std::string_view target, std::string_view message) {
    if (!enabled(level)) return;
    Sink* sink = g_sink.load(std::memory_order_acquire);
    if (sink == nullptr) return;
    sink->log(Record{level, target, message});
}

}  // namespace protocols::log
