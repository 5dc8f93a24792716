// Version shims: both modules are written against the 3.14 C API and run on
// 3.11 and later. Every use of a call newer than 3.11 goes through here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pyglue::compat {

// New reference to the raised exception, clearing it; nullptr if none.
inline PyObject* get_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `exc`, stealing the reference; no implicit context chaining.
inline void set_raised_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// New reference to the class's __module__ as a str, or nullptr with an error.
inline PyObject* type_module_name(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyType_GetModuleName(type);
#else
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    if (name != nullptr && !PyUnicode_Check(name)) {
        Py_DECREF(name);
        PyErr_SetString(PyExc_TypeError, "__module__ is not a str");
        return nullptr;
    }
    return name;
#endif
}

}  // namespace pyglue::compat
