#include "protocols/utf8_check.hpp"

#include <cstdint>

namespace protocols {

namespace {

struct Lead {
    unsigned length;            // bytes in the whole sequence; 0 for no lead byte
    std::uint8_t second_low;    // range of the byte after the lead; later
    std::uint8_t second_high;   // continuation bytes are always 80..BF
};

// The ranges of well-formed sequences: overlong forms, surrogates and values
// above U+10FFFF are excluded through the second byte.
Lead lead_of(std::uint8_t b) noexcept {
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

std::optional<Utf8Fault> find_utf8_fault(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t b = bytes[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        const Lead lead = lead_of(b);
        if (lead.length == 0) return Utf8Fault{i, "invalid start byte"};
        // Every byte that is there is checked before a missing one is reported.
        for (unsigned k = 1; k < lead.length; ++k) {
            if (i + k >= size) return Utf8Fault{i, "unexpected end of data"};
            const std::uint8_t c = bytes[i + k];
            const std::uint8_t low = k == 1 ? lead.second_low : 0x80;
            const std::uint8_t high = k == 1 ? lead.second_high : 0xBF;
            if (c < low || c > high) return Utf8Fault{i, "invalid continuation byte"};
        }
        i += lead.length;
    }
    return std::nullopt;
}

}  // namespace protocols
