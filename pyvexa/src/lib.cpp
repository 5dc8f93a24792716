// Module entry: single-phase initialisation, one module object per process,
// owned by the first interpreter that imports it.
#include <atomic>
#include <cstdint>

#include "boundary.hpp"
#include "convert.hpp"
#include "objects.hpp"

namespace pyvexa {

namespace {

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;  // kept for the life of the process

// m_size 0 (not -1): a repeated import calls the init function again, which
// hands back the same module instead of a copy rebuilt from its dict.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "pyvexa", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void check_interpreter() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) throw_python_error();
    std::int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "pyvexa does not support sub-interpreters: it can only be imported in the interpreter "
              "that first loaded it");
    }
}

// The module's __all__, created empty when absent.
PyRef module_all(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_python_error();
        return all;
    }
    if (!PyList_Check(all.get())) raise_cast_error(all.get(), "PyList");
    return all;
}

// Creates the class on first use, then lists and sets it on the module.
void register_class(PyObject* module, PyTypeObject*& slot, PyObject* (*create)(), const char* name) {
    if (slot == nullptr) {
        PyObject* type = create();
        if (type == nullptr) throw_python_error();
        slot = reinterpret_cast<PyTypeObject*>(type);  // owned for the life of the process
    }
    PyRef all = module_all(module);
    PyRef name_object = checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), name_object.get()) < 0) {
        panic("could not append __name__ to __all__: " + take_error_rendering());
    }
    if (PyObject_SetAttr(module, name_object.get(), reinterpret_cast<PyObject*>(slot)) < 0) throw_python_error();
}

PyObject* init_module() {
    check_interpreter();
    if (g_module != nullptr) return Py_NewRef(g_module);

    PyRef module = checked(PyModule_Create2(&g_module_def, 1013));
    register_class(module.get(), g_classes.protocol, create_protocol_class, "Protocol");
    register_class(module.get(), g_classes.channel, create_channel_class, "Channel");
    register_class(module.get(), g_classes.coil, create_coil_class, "Coil");

    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace pyvexa

PyMODINIT_FUNC PyInit_pyvexa(void) {
    return pyvexa::boundary([] { return pyvexa::init_module(); });
}
