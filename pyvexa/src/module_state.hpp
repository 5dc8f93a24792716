// What the module keeps for the life of the process: the interpreter that
// owns it, the module object and the three class objects. None of it is
// per module object or per interpreter, and none of it is ever torn down.
// (The PanicException class and the NumPy access state live the same way
// beside the only code that fills and reads them: errors.cpp, and
// numpy_api.cpp and borrow_registry.cpp.) Everything here runs with the
// interpreter lock held.
#pragma once

#include "glue.hpp"

namespace pyvexa::state {

// The class objects, null until the first initialisation creates them.
struct Classes {
    PyTypeObject* protocol = nullptr;
    PyTypeObject* channel = nullptr;
    PyTypeObject* coil = nullptr;
};

namespace detail {
extern Classes g_classes;  // written only by ensure_class
}

inline const Classes& classes() noexcept { return detail::g_classes; }

// Records the calling interpreter as the owner on first use; ImportError
// (thrown) when another interpreter owns the module.
void claim_interpreter();

// The module object kept by the first initialisation (borrowed), or nullptr.
PyObject* kept_module() noexcept;

// Keeps `module` for the process unless another was kept first; returns a
// new reference to the one kept.
PyRef keep_module(PyRef module) noexcept;

// The class in `slot`, created by `create` (which throws on failure) when
// the slot is still empty. Borrowed: the state keeps it.
PyTypeObject* ensure_class(PyTypeObject* Classes::*slot, PyRef (*create)());

}  // namespace pyvexa::state
