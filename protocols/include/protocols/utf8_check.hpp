// Strict UTF-8 validation (of decoded text and of the environment):
// shortest forms only, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace protocols {

struct Utf8Fault {
    std::size_t offset;       // first byte of the sequence that is wrong
    std::string_view reason;  // "invalid start byte", "invalid continuation byte" or "unexpected end of data"
};

// The first fault of `text`, or nothing when it is valid UTF-8.
std::optional<Utf8Fault> find_utf8_fault(std::string_view text) noexcept;

}  // namespace protocols
