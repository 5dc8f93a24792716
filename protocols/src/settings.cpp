#include "protocols/settings.hpp"

#include <cstdlib>
#include <string_view>

namespace protocols::settings {

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t code = 0;
        std::uint32_t minimum = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < length) return false;
        for (std::size_t i = 1; i < length; ++i) {
            if (!is_continuation(p[i])) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF) return false;
        if (code >= 0xD800 && code <= 0xDFFF) return false;
        p += length;
    }
    return true;
}

}  // namespace

bool running_on_target_machine_from_env() {
    const char* value = std::getenv("VEXA_TARGET_MACHINE");
    return value != nullptr && is_valid_utf8(value);
}

Settings::Settings() : running_on_target_machine(running_on_target_machine_from_env()) {}

}  // namespace protocols::settings
