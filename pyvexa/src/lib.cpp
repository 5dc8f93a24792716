// Module entry: single-phase initialisation, one module object per process,
// owned by the first interpreter that imports it.
#include "boundary.hpp"
#include "convert.hpp"
#include "module_state.hpp"
#include "objects.hpp"

namespace pyvexa {

namespace {

// m_size 0 (not -1): a repeated import calls the init function again, which
// hands back the same module instead of a copy rebuilt from its dict.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "pyvexa", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

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
void register_class(PyObject* module, PyTypeObject* state::Classes::*slot, PyRef (*create)(),
                    const char* name) {
    PyTypeObject* type = state::ensure_class(slot, create);
    PyRef all = module_all(module);
    PyRef name_object = checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), name_object.get()) < 0) {
        panic("could not append __name__ to __all__: " + take_error_rendering());
    }
    if (PyObject_SetAttr(module, name_object.get(), reinterpret_cast<PyObject*>(type)) < 0) {
        throw_python_error();
    }
}

PyObject* init_module() {
    state::claim_interpreter();
    if (PyObject* module = state::kept_module()) return Py_NewRef(module);

    PyRef module = checked(PyModule_Create2(&g_module_def, 1013));
    register_class(module.get(), &state::Classes::protocol, create_protocol_class, "Protocol");
    register_class(module.get(), &state::Classes::channel, create_channel_class, "Channel");
    register_class(module.get(), &state::Classes::coil, create_coil_class, "Coil");
    return state::keep_module(std::move(module)).release();
}

}  // namespace

}  // namespace pyvexa

PyMODINIT_FUNC PyInit_pyvexa(void) {
    return pyvexa::boundary([] { return pyvexa::init_module(); });
}
