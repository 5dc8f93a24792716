// vexafile._native: the compiled decoder behind vexafile.load, loads and the
// command line's text, and the model's field lists, variants and constants.
// Private to vexafile; it adds nothing to pyvexa.
#include <array>
#include <memory>
#include <utility>

#include "boundary.hpp"
#include "decoded.hpp"
#include "decoding.hpp"
#include "model_exports.hpp"
#include "pyglue/table.hpp"
#include "records_to_python.hpp"

namespace vexafile_native {

namespace {

// Per module object: the Decoded class that `decode` instantiates, kept
// here rather than looked up, so that rebinding the module's attribute
// changes nothing.
struct ModuleState {
    PyObject* decoded_type;  // strong
};

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module).decoded_type);
    return 0;
}

int module_clear(PyObject* module) {
    Py_CLEAR(state_of(module).decoded_type);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

// The (data or fd, classes) functions take exactly two arguments, classes a dict.
void check_arguments(PyObject* const* args, Py_ssize_t nargs, const char* name) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 2 arguments (%zd given)", name, nargs);
        throw_python_error();
    }
    check_classes(args[1]);
}

PyObject* native_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&] {
        check_arguments(args, nargs, "loads");
        return settings_to_python(decode_buffer(args[0], args[1]), args[1]).release();
    });
}

PyObject* native_load(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&] {
        check_arguments(args, nargs, "load");
        return settings_to_python(decode_fd(args[0], args[1]), args[1]).release();
    });
}

PyObject* native_decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&] {
        check_arguments(args, nargs, "decode");
        auto protocol = std::make_unique<protocols::Protocol>(protocols::Protocol{decode_fd(args[0], args[1])});
        auto* type = reinterpret_cast<PyTypeObject*>(state_of(module).decoded_type);
        return make_decoded(type, std::move(protocol)).release();
    });
}

PyObject* native_default_settings(PyObject*, PyObject* classes) {
    return boundary([&] {
        check_classes(classes);
        return settings_to_python(protocols::settings::Settings{}, classes).release();
    });
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

auto module_methods = pyglue::end_marked(std::array{
    PyMethodDef{"loads", as_cfunction(native_loads), METH_FASTCALL,
                "loads(data, classes)\n--\n\nDecode the bytes of a whole protocol file into records."},
    PyMethodDef{"load", as_cfunction(native_load), METH_FASTCALL,
                "load(fd, classes)\n--\n\nDecode a protocol file read from a file descriptor into records."},
    PyMethodDef{"decode", as_cfunction(native_decode), METH_FASTCALL,
                "decode(fd, classes)\n--\n\nDecode a protocol file read from a file descriptor, kept in native "
                "form."},
    PyMethodDef{"default_settings", native_default_settings, METH_O,
                "default_settings(classes)\n--\n\nThe records of a default Settings (its one signal a Constant of "
                "0.0; running_on_target_machine read from VEXA_TARGET_MACHINE now)."},
});

int module_exec(PyObject* module) {
    return boundary([&] {
        PyRef type = create_decoded_type(module);
        checked_status(PyModule_AddObjectRef(module, "Decoded", type.get()));
        state_of(module).decoded_type = type.release();
        add_model_exports(module);
        return 0;
    });
}

auto module_slots = pyglue::end_marked(std::array{
    PyModuleDef_Slot{Py_mod_exec, reinterpret_cast<void*>(module_exec)},
});

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vexafile._native",
    "Compiled decoder of protocol files, private to vexafile.",
    sizeof(ModuleState),
    module_methods.data(),
    module_slots.data(),
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace vexafile_native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vexafile_native::module_def); }
