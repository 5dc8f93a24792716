// The boundary wrapper of this module's entry points: the shared one, with
// the module's own mapping of the exceptions it does not know.
#pragma once

#include "errors.hpp"
#include "pyglue/boundary.hpp"

namespace pyvexa {

namespace detail {
// A Panic, or any other exception, becomes PanicException.
void translate_exception() noexcept;
}

inline constexpr pyglue::Boundary<detail::translate_exception> boundary{};

}  // namespace pyvexa
