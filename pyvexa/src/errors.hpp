// How failures travel inside the module: C++ exceptions that the boundary
// wrapper of each entry point turns into a Python exception.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "glue.hpp"

namespace pyvexa {

// A violated precondition or unexpected failure; reaches Python as
// pyo3_runtime.PanicException with `message` as its only argument.
struct Panic {
    std::string message;
    std::source_location location;
};

[[noreturn]] void panic(std::string message,
                        std::source_location location = std::source_location::current());

// Checks a precondition; the message is "assertion failed: " + condition.
#define PYVEXA_ASSERT(condition, text) \
    do {                               \
        if (!(condition)) ::pyvexa::panic("assertion failed: " text); \
    } while (0)

// Raises `type(message)` and throws.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Text of "called `Result::unwrap()` on an `Err` value: " + rendering.
std::string unwrap_failure(const std::string& error_rendering);

// Debug-style rendering of the currently raised exception (cleared):
// PyErr { type: <class 'X'>, value: X('...'), traceback: None }
std::string take_error_rendering();

// Sets pyo3_runtime.PanicException with `message` after writing the
// diagnostic to stderr. When the exception cannot be made (out of memory,
// even for the class on the first failure), the error that stopped it is
// set instead. Allocates nothing of C++'s, so it cannot throw.
void raise_panic(std::string_view message, const std::source_location& location) noexcept;

}  // namespace pyvexa
