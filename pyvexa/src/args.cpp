#include "args.hpp"

#include <array>
#include <string>

#include "errors.hpp"

namespace pyvexa {

namespace {

// All names or none: a failure part way (out of memory) leaves the table
// empty, to be filled by a later call, never with a null name in it.
void intern_names(const ParamList& params) {
    if (params.count == 0 || params.interned[0] != nullptr) return;
    std::array<PyRef, kMaxParams> names;
    for (std::size_t i = 0; i < params.count; ++i) {
        names[i] = checked(PyUnicode_InternFromString(params.names[i]));
    }
    // Slot 0 last: it is what marks the table as filled.
    for (std::size_t i = params.count; i-- > 0;) params.interned[i] = names[i].release();  // kept for the process
}

// "Protocol.enable_channel()": how the errors name the method.
std::string full_name(const ParamList& params) {
    std::string name = params.owner;
    name += '.';
    name += params.method;
    name += "()";
    return name;
}

std::string str_of(PyObject* obj) {
    PyRef text = checked(PyObject_Str(obj));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) throw_python_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

[[noreturn]] void too_many_positional(const ParamList& params, Py_ssize_t given) {
    std::string message = full_name(params);
    if (params.required == params.count) {
        message += " takes " + std::to_string(params.count);
    } else {
        message += " takes from " + std::to_string(params.required) + " to " + std::to_string(params.count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, message);
}

[[noreturn]] void unexpected_keyword(const ParamList& params, PyObject* keyword) {
    raise(PyExc_TypeError,
          full_name(params) + " got an unexpected keyword argument '" + str_of(keyword) + "'");
}

[[noreturn]] void multiple_values(const ParamList& params, std::size_t index) {
    raise(PyExc_TypeError,
          full_name(params) + " got multiple values for argument '" + params.names[index] + "'");
}

void check_required(const ParamList& params, PyObject* const* out) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < params.required; ++i) missing += out[i] == nullptr;
    if (missing == 0) return;

    std::string message = full_name(params) + " missing " + std::to_string(missing) +
                          " required positional " + (missing == 1 ? "argument" : "arguments") + ": ";
    std::size_t listed = 0;
    for (std::size_t i = 0; i < params.required; ++i) {
        if (out[i] != nullptr) continue;
        if (listed != 0) {
            if (missing > 2) message += ',';
            message += listed == missing - 1 ? " and " : " ";
        }
        message += '\'';
        message += params.names[i];
        message += '\'';
        ++listed;
    }
    raise(PyExc_TypeError, message);
}

// Index of the parameter named `keyword`, or -1.
Py_ssize_t find_parameter(const ParamList& params, PyObject* keyword) {
    for (std::size_t i = 0; i < params.count; ++i) {
        if (params.interned[i] == keyword) return static_cast<Py_ssize_t>(i);
    }
    if (!PyUnicode_Check(keyword)) return -1;
    for (std::size_t i = 0; i < params.count; ++i) {
        if (PyUnicode_Compare(params.interned[i], keyword) == 0) return static_cast<Py_ssize_t>(i);
    }
    if (PyErr_Occurred()) throw_python_error();
    return -1;
}

void place_keyword(const ParamList& params, PyObject* keyword, PyObject* value, PyObject** out) {
    Py_ssize_t index = find_parameter(params, keyword);
    if (index < 0) unexpected_keyword(params, keyword);
    if (out[index] != nullptr) multiple_values(params, static_cast<std::size_t>(index));
    out[index] = value;
}

}  // namespace

void match_fastcall_general(const ParamList& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject** out) {
    if (static_cast<std::size_t>(nargs) > params.count) too_many_positional(params, nargs);
    for (std::size_t i = 0; i < params.count; ++i) {
        out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    }
    if (kwnames != nullptr) {
        intern_names(params);
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            place_keyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
        }
    }
    check_required(params, out);
}

void match_tuple_dict(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<std::size_t>(nargs) > params.count) too_many_positional(params, nargs);
    for (std::size_t i = 0; i < params.count; ++i) {
        out[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    }
    if (kwargs != nullptr) {
        intern_names(params);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(params, key, value, out);
    }
    check_required(params, out);
}

}  // namespace pyvexa
