// Python records (the vexafile classes) from a decoded C++ record.
#pragma once

#include "boundary.hpp"
#include "protocols/settings.hpp"

namespace vexafile_native {

// `classes` maps each record's type name ("Settings", "Coil", ...) and each
// signal variant's name ("Sine", ...) to the class to call with the fields
// in order, and "samples" to a callable that turns native int16 bytes into
// the samples object.
PyRef settings_to_python(const protocols::settings::Settings& settings, PyObject* classes);

}  // namespace vexafile_native
