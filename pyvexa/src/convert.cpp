#include "convert.hpp"

#include <string_view>

#include "errors.hpp"

namespace pyvexa {

namespace {

std::string utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) throw_python_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

// Qualified name of obj's class; the stand-in text when it cannot be had.
std::string type_qualname(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

bool str_equals(PyObject* str, std::string_view expected) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size)) == expected;
}

// NumPy's boolean scalar, recognised by name so that NumPy is never imported.
bool is_numpy_bool(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyRef module = PyRef::steal(compat::type_module_name(type));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!str_equals(module.get(), "numpy")) return false;
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return str_equals(name.get(), "bool_") || str_equals(name.get(), "bool");
}

}  // namespace

void set_cast_error(PyObject* obj, const char* expected) {
    // Appended piece by piece: GCC 12 warns (-Wrestrict) on "'" + std::string&&.
    std::string message = "'";
    message += type_qualname(obj);
    message += "' object cannot be cast as '";
    message += expected;
    message += '\'';
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

void raise_cast_error(PyObject* obj, const char* expected) {
    set_cast_error(obj, expected);
    throw PythonErrorSet{};
}

void raise_argument_error(const char* name) {
    PyRef error = PyRef::steal(compat::get_raised_exception());
    if (!error) throw_python_error();
    if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        compat::set_raised_exception(error.release());
        throw PythonErrorSet{};
    }
    PyRef text = checked(PyObject_Str(error.get()));
    std::string message = std::string("argument '") + name + "': " + utf8_of(text.get());
    PyRef cause = PyRef::steal(PyException_GetCause(error.get()));

    PyErr_SetString(PyExc_TypeError, message.c_str());
    PyRef remapped = PyRef::steal(compat::get_raised_exception());
    if (!remapped) throw_python_error();
    PyException_SetCause(remapped.get(), cause.release());  // steals; nullptr allowed
    compat::set_raised_exception(remapped.release());
    throw PythonErrorSet{};
}

double arg_float(PyObject* obj, const char* name) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) raise_argument_error(name);
    return value;
}

std::uint64_t arg_index(PyObject* obj, const char* name) {
    unsigned long long value;
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(obj));
        if (!index) raise_argument_error(name);
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_argument_error(name);
    return value;
}

bool arg_flag(PyObject* obj, const char* name) {
    if (PyBool_Check(obj)) return obj == Py_True;
    if (is_numpy_bool(obj)) {
        PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
        if (number != nullptr && number->nb_bool != nullptr) {
            int truth = number->nb_bool(obj);
            if (truth < 0) raise_argument_error(name);
            return truth != 0;
        }
        PyRef type_text = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(obj))));
        if (!type_text) raise_argument_error(name);
        std::string message = "object of type '" + utf8_of(type_text.get()) + "' does not define a '__bool__' conversion";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        raise_argument_error(name);
    }
    set_cast_error(obj, "bool");
    raise_argument_error(name);
}

std::string arg_text(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) {
        set_cast_error(obj, "str");
        raise_argument_error(name);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) raise_argument_error(name);
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace pyvexa
