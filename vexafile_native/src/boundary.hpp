// The boundary wrapper of this module's entry points (the shared one, with
// the module's own mapping of the exceptions it does not know), and the
// shared glue under the names this module's code uses.
#pragma once

#include "pyglue/boundary.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/pyref.hpp"

namespace vexafile_native {

using pyglue::checked;
using pyglue::checked_status;
using pyglue::PyRef;
using pyglue::throw_python_error;

namespace detail {
// A failed read becomes OSError, any other exception RuntimeError.
void translate_exception() noexcept;
}

inline constexpr pyglue::Boundary<detail::translate_exception> boundary{};

}  // namespace vexafile_native
