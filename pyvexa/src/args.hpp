// Matching call arguments to a method's parameters, with the interpreter's
// usual wording for every mismatch.
#pragma once

#include <array>
#include <cstddef>

#include "compat.hpp"

namespace pyvexa {

// Parameter list of one method. Names are interned on first use so that
// keywords, which the interpreter interns too, match by identity.
struct ParamList {
    const char* full_name;           // e.g. "Protocol.enable_channel()"
    const char* const* names;        // `count` parameter names in order
    PyObject** interned;             // `count` slots, filled on first use
    std::size_t count;
    std::size_t required;            // leading parameters without default
};

template <std::size_t N>
struct Params {
    const char* full_name;
    std::array<const char*, N> names;
    std::size_t required;
    std::array<PyObject*, N> interned{};

    ParamList list() noexcept { return ParamList{full_name, names.data(), interned.data(), N, required}; }
};

// Vectorcall form: fills out[0..count) with borrowed arguments, nullptr
// where an optional one is absent. Throws with TypeError set on mismatch.
void match_fastcall(const ParamList& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);

// Tuple-and-dict form (the constructor), same contract.
void match_tuple_dict(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace pyvexa
