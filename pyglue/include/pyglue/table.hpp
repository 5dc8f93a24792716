// Tables that the interpreter reads up to an all-zero end mark (methods,
// slots, getters, members, module slots). Their size comes from their
// parts, so an entry added to a part can neither go uncounted nor land on
// the end mark.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

namespace pyglue {

// The entries of `parts`, one part after another, then the end mark (a
// value-initialised entry).
template <class Entry, std::size_t... N>
constexpr std::array<Entry, (N + ... + 0) + 1> end_marked(const std::array<Entry, N>&... parts) {
    std::array<Entry, (N + ... + 0) + 1> table{};
    auto at = table.begin();
    ((at = std::copy(parts.begin(), parts.end(), at)), ...);
    return table;
}

}  // namespace pyglue
