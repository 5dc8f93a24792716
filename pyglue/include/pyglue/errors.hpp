// A Python error travels through C++ as PythonErrorSet; the boundary
// wrapper (boundary.hpp) ends the unwinding at the entry point.
#pragma once

#include "pyglue/compat.hpp"
#include "pyglue/pyref.hpp"

namespace pyglue {

// Thrown when a Python exception is already set and must propagate as is.
struct PythonErrorSet {};

// Throws PythonErrorSet; sets SystemError first if no exception is set, so
// that a failure never reaches the interpreter without one.
[[noreturn]] inline void throw_python_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw PythonErrorSet{};
}

// `p` as an owned reference (a new reference is taken over), or a throw
// when the call that made it failed (nullptr, error set).
inline PyRef checked(PyObject* p) {
    if (p == nullptr) throw_python_error();
    return PyRef::steal(p);
}

// A C-API status (0 or more on success, -1 with an error set on failure);
// throws on failure.
inline int checked_status(int status) {
    if (status < 0) throw_python_error();
    return status;
}

}  // namespace pyglue
