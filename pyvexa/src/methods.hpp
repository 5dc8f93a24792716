// Entry points of the Protocol methods, one boundary wrapper each.
#pragma once

#include "compat.hpp"

namespace pyvexa::methods {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Channel, source, duration and intensity settings; sampling questions.
PyObject* set_stimulation_intensity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* set_session_duration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* enable_channel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* set_amplitude_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* set_modulation_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_num_samples(PyObject* self, PyObject* unused);
PyObject* get_sampling_rate(PyObject* self, PyObject* unused);

// Signal building.
PyObject* add_constant_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* add_sine_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* add_ramp_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* add_mixed_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* add_arbitrary_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Writing the protocol file.
PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pyvexa::methods
