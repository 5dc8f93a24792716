// The shared glue (pyglue) under the names this module's code uses.
#pragma once

#include "pyglue/compat.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/pyref.hpp"

namespace pyvexa {

namespace compat = pyglue::compat;
using pyglue::checked;
using pyglue::checked_status;
using pyglue::PyRef;
using pyglue::PythonErrorSet;
using pyglue::throw_python_error;

}  // namespace pyvexa
