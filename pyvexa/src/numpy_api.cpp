#include "numpy_api.hpp"

#include "convert.hpp"
#include "errors.hpp"
#include "once.hpp"

namespace pyvexa::numpy {

namespace {

// Table slots, as numbered by NumPy's C interface.
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotEquivTypes = 182;
constexpr int kSlotFeatureVersion = 211;

using DescrFromTypeFn = PyObject* (*)(int);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using FeatureVersionFn = unsigned (*)();

OnceCell<const char*> g_multiarray_name;
OnceCell<Api> g_api;

// NumPy's major version, from numpy.lib.NumpyVersion(numpy.__version__); throws PythonErrorSet.
long numpy_major_version() {
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    PyRef lib = checked(PyImport_ImportModule("numpy.lib"));
    PyRef parser = checked(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    PyRef parsed = checked(PyObject_CallOneArg(parser.get(), version.get()));
    PyRef major = checked(PyObject_GetAttrString(parsed.get(), "major"));
    if (!PyLong_Check(major.get())) raise_cast_error(major.get(), "int");
    long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    if (value < 0 || value > 255) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return value;
}

// The multiarray module of core "numpy._core" from NumPy 2 on, of "numpy.core"
// before; chosen once per process. Throws PythonErrorSet.
const char* multiarray_module_name() {
    return g_multiarray_name.get_or_init([]() -> const char* {
        return numpy_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    });
}

// Reads the C-interface table from `_ARRAY_API`; throws PythonErrorSet.
Api load_api() {
    const char* multiarray_name = multiarray_module_name();
    PyRef module = checked(PyImport_ImportModule(multiarray_name));
    PyRef capsule = checked(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) raise_cast_error(capsule.get(), "PyCapsule");
    void* pointer = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (pointer == nullptr) throw_python_error();
    void** table = static_cast<void**>(pointer);
    auto feature_version = reinterpret_cast<FeatureVersionFn>(table[kSlotFeatureVersion]);
    auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(table[kSlotDescrFromType]);
    PyRef float64 = PyRef::steal(descr_from_type(kDoubleTypeNum));
    if (!float64) panic("NumPy has no float64 descriptor: " + take_error_rendering());
    Api api{table, static_cast<PyTypeObject*>(table[kSlotArrayType]), feature_version(), multiarray_name,
            float64.release()};
    // The table lives inside the capsule: keep it for the life of the process.
    static_cast<void>(capsule.release());
    return api;
}

}  // namespace

const Api& api() { return g_api.get_or_init(load_api); }

PyRef import_multiarray(const Api& api) { return checked(PyImport_ImportModule(api.multiarray_name)); }

bool is_array(const Api& api, PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return type == api.array_type || PyType_IsSubtype(type, api.array_type);
}

bool has_float64_elements(const Api& api, PyObject* array) {
    PyObject* own = as_array(array)->descr;
    if (own == api.float64_descr) return true;
    auto equiv_types = reinterpret_cast<EquivTypesFn>(api.table[kSlotEquivTypes]);
    const bool equivalent = equiv_types(own, api.float64_descr) != 0;
    if (PyErr_Occurred()) {
        // A comparison that raised is no match; the caller reports its own error.
        PyErr_Clear();
        return false;
    }
    return equivalent;
}

}  // namespace pyvexa::numpy
