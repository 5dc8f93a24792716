// Decoded: a decoded protocol file kept in C++ for the command line's text.
// Only `decode` makes one; Python cannot create it.
#pragma once

#include <memory>

#include "boundary.hpp"
#include "protocols/settings.hpp"

namespace vexafile_native {

// A new Decoded class object for `module`; throws on failure.
PyRef create_decoded_type(PyObject* module);

// A new instance of `type` (made by create_decoded_type) owning `protocol`.
PyRef make_decoded(PyTypeObject* type, std::unique_ptr<protocols::Protocol> protocol);

}  // namespace vexafile_native
