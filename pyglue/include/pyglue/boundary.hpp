// One wrapper per entry point: no C++ exception crosses into the interpreter.
#pragma once

#include <new>
#include <type_traits>

#include "pyglue/errors.hpp"

namespace pyglue {

// Called as boundary(body) around the whole of an entry point of the
// interpreter. On an exception from `body` the Python error is set and the
// failure value returned (nullptr for object results, -1 for int results):
// PythonErrorSet keeps the error already set, std::bad_alloc becomes
// MemoryError, and every other exception is left to `Translate`, the
// module's own mapping (a noexcept function that rethrows the exception
// being handled to tell them apart).
template <void (*Translate)() noexcept>
struct Boundary {
    template <class Body>
    auto operator()(Body&& body) const noexcept -> decltype(body()) {
        using Result = decltype(body());
        static_assert(std::is_pointer_v<Result> || std::is_same_v<Result, int>);
        try {
            return body();
        } catch (const PythonErrorSet&) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (...) {
            Translate();
        }
        if constexpr (std::is_pointer_v<Result>) {
            return nullptr;
        } else {
            return -1;
        }
    }
};

}  // namespace pyglue
