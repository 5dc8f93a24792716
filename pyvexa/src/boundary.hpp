// One wrapper per entry point: no C++ exception crosses into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "errors.hpp"

namespace pyvexa {

namespace detail {
// Sets the Python error for the exception being handled.
void translate_current_exception() noexcept;
}

// Runs `body`; on any exception sets a Python error and returns the
// failure value (nullptr for object results, -1 for int results).
template <class Body>
auto boundary(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    try {
        return body();
    } catch (...) {
        detail::translate_current_exception();
        if constexpr (std::is_pointer_v<Result>) {
            return nullptr;
        } else {
            return Result(-1);
        }
    }
}

}  // namespace pyvexa
