// Argument kinds and their conversions. A conversion that fails with
// exactly TypeError is re-raised as "argument '<name>': <text>"; any other
// error (OverflowError, UnicodeEncodeError, ...) passes unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "glue.hpp"

namespace pyvexa {

double arg_float(PyObject* obj, const char* name);
std::uint64_t arg_index(PyObject* obj, const char* name);
bool arg_flag(PyObject* obj, const char* name);
std::string arg_text(PyObject* obj, const char* name);

// Sets TypeError "'<type of obj>' object cannot be cast as '<expected>'";
// the raise_ form also throws.
void set_cast_error(PyObject* obj, const char* expected);
[[noreturn]] void raise_cast_error(PyObject* obj, const char* expected);

// Re-raises the pending conversion error for parameter `name` (prefixing a
// plain TypeError, keeping its cause) and throws.
[[noreturn]] void raise_argument_error(const char* name);

}  // namespace pyvexa
