#include "protocols/signals.hpp"

namespace protocols::signals {

std::string_view variant_name(const Signal& signal) noexcept {
    // A variant left valueless by an exception has no number.
    if (signal.valueless_by_exception()) return "Unknown";
    return SIGNAL_VARIANT_NAMES[signal.index()];
}

}  // namespace protocols::signals
