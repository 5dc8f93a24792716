#include "protocols/settings.hpp"

#include <cstdlib>

#include "protocols/utf8_check.hpp"

namespace protocols::settings {

bool running_on_target_machine_from_env() {
    const char* value = std::getenv("VEXA_TARGET_MACHINE");
    return value != nullptr && !find_utf8_fault(value);
}

Settings::Settings() : running_on_target_machine(running_on_target_machine_from_env()) {}

}  // namespace protocols::settings
