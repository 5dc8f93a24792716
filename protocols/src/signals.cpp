#include "protocols/signals.hpp"

namespace protocols::signals {

std::string_view variant_name(const Signal& signal) noexcept {
    switch (signal.index()) {
        case 0: return "Constant";
        case 1: return "Sine";
        case 2: return "Ramp";
        case 3: return "MixedSignal";
        case 4: return "Arbitrary";
    }
    return "Unknown";
}

}  // namespace protocols::signals
