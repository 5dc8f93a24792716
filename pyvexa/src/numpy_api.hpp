// NumPy's C interface, reached at run time through the `_ARRAY_API` capsule
// of its multiarray module. No NumPy header is included and nothing of NumPy
// is linked; the object layouts below are NumPy's public C layouts.
#pragma once

#include <cstdint>

#include "glue.hpp"

namespace pyvexa::numpy {

using npy_intp = std::intptr_t;

inline constexpr int kDoubleTypeNum = 12;         // NPY_DOUBLE
inline constexpr int kWriteableFlag = 0x0400;     // NPY_ARRAY_WRITEABLE
inline constexpr unsigned kFeatureVersion2 = 18;  // first C feature version with NumPy 2's descriptor

// PyArrayObject_fields: the leading, stable part of an array object.
struct ArrayObject {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// PyArray_Descr before NumPy 2 (C feature version below 18).
struct DescrV1 {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char flags;
    int type_num;
    int elsize;
    int alignment;
};

// PyArray_Descr from NumPy 2 on (C feature version 18 and above).
struct DescrV2 {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
    std::uint64_t flags;
    npy_intp elsize;
    npy_intp alignment;
};

// What the module uses of the C-interface table, read once per process.
struct Api {
    void** table;
    PyTypeObject* array_type;  // PyArray_Type
    unsigned feature_version;  // PyArray_GetNDArrayCFeatureVersion()
    const char* multiarray_name;  // "numpy._core.multiarray" or "numpy.core.multiarray"
    PyObject* float64_descr;      // PyArray_DescrFromType(NPY_DOUBLE), kept for the process
};

// The table, filled on first use; throws PythonErrorSet (error set) on
// failure, leaving it to be tried again by the next call.
const Api& api();

// New reference to NumPy's multiarray module; throws PythonErrorSet.
PyRef import_multiarray(const Api& api);

inline ArrayObject* as_array(PyObject* obj) noexcept { return reinterpret_cast<ArrayObject*>(obj); }

// Whether obj is an ndarray or an instance of a subclass; never calls Python.
bool is_array(const Api& api, PyObject* obj) noexcept;

// Element size in bytes of an array's descriptor, for the running NumPy's layout.
inline npy_intp element_size(const Api& api, PyObject* array) noexcept {
    PyObject* descr = as_array(array)->descr;
    if (api.feature_version >= kFeatureVersion2) return reinterpret_cast<DescrV2*>(descr)->elsize;
    return reinterpret_cast<DescrV1*>(descr)->elsize;
}

// Whether `array` (known to be an ndarray) holds native-order float64
// elements by NumPy's own equivalence test; leaves no Python error set.
bool has_float64_elements(const Api& api, PyObject* array);

}  // namespace pyvexa::numpy
