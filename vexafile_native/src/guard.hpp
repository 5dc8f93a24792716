// One wrapper per entry point: no C++ exception reaches the interpreter.
#pragma once

#include <type_traits>

#include "compat.hpp"

namespace vexafile_native {

// A Python error is already set; unwinding carries it to the entry point.
struct PythonErrorSet {};

[[noreturn]] inline void throw_python_error() { throw PythonErrorSet{}; }

// `p`, or a throw when the call that made it failed.
inline PyObject* checked(PyObject* p) {
    if (p == nullptr) throw_python_error();
    return p;
}

namespace detail {
// Sets the Python error for the exception being handled.
void set_error_for_current_exception() noexcept;
}

// Runs `body`; on any exception sets a Python error and returns nullptr.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    static_assert(std::is_same_v<decltype(body()), PyObject*>);
    try {
        return body();
    } catch (...) {
        detail::set_error_for_current_exception();
        return nullptr;
    }
}

}  // namespace vexafile_native
