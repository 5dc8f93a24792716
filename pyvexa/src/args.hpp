// Matching call arguments to a method's parameters, with the interpreter's
// usual wording for every mismatch.
#pragma once

#include <cstddef>

#include "glue.hpp"

namespace pyvexa {

// Parameter list of one method. Names are interned on first use so that
// keywords, which the interpreter interns too, match by identity.
struct ParamList {
    const char* owner;               // class name; errors name "<owner>.<method>()"
    const char* method;
    const char* const* names;        // `count` parameter names in order
    PyObject** interned;             // `count` slots, filled on first use
    std::size_t count;
    std::size_t required;            // leading parameters without default
};

// The most parameters a method has.
inline constexpr std::size_t kMaxParams = 4;

// The general vectorcall matching, keywords included; contract of match_fastcall.
void match_fastcall_general(const ParamList& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject** out);

// Vectorcall form: fills out[0..count) with borrowed arguments, nullptr
// where an optional one is absent. Throws with TypeError set on mismatch.
inline void match_fastcall(const ParamList& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** out) {
    // The usual call, positional only, needs no checks beyond the count.
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) >= params.required &&
        static_cast<std::size_t>(nargs) <= params.count) {
        for (std::size_t i = 0; i < params.count; ++i) {
            out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
        }
        return;
    }
    match_fastcall_general(params, args, nargs, kwnames, out);
}

// Tuple-and-dict form (the constructor), same contract.
void match_tuple_dict(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace pyvexa
