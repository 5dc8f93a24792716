// The byte shuffles of the vector sample encoders (SSSE3 and NEON), built
// at compile time. An index of 0x80 yields a zero byte in both: PSHUFB
// zeroes lanes whose index has its high bit set, TBL those past its table.
#pragma once

#include <array>
#include <cstdint>

namespace protocols::postcard {

// For four samples laid out as [b0 b1 b2 0] each, indexed by the "needs a
// second byte" bits (low nibble) and "needs a third byte" bits (high
// nibble): the byte shuffle that packs their varints together, and the
// packed length.
struct PackTables {
    alignas(16) std::array<std::array<std::uint8_t, 16>, 256> shuffle{};
    std::array<std::uint8_t, 256> length{};
};

constexpr PackTables make_pack_tables() {
    PackTables tables;
    for (unsigned key = 0; key < 256; ++key) {
        unsigned at = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const unsigned bytes = 1 + ((key >> lane) & 1) + ((key >> (lane + 4)) & 1);
            for (unsigned b = 0; b < bytes; ++b) tables.shuffle[key][at++] = static_cast<std::uint8_t>(4 * lane + b);
        }
        tables.length[key] = static_cast<std::uint8_t>(at);
        for (; at < 16; ++at) tables.shuffle[key][at] = 0x80;  // zero fill
    }
    return tables;
}

inline constexpr PackTables kPack = make_pack_tables();

}  // namespace protocols::postcard
