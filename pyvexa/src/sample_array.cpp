#include "sample_array.hpp"

#include <string>
#include <utility>

#include "borrow_registry.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "glue.hpp"
#include "numpy_api.hpp"

namespace pyvexa {

namespace {

// The C-interface table; panics when NumPy cannot be reached.
const numpy::Api& numpy_or_panic() {
    try {
        return numpy::api();
    } catch (const PythonErrorSet&) {
        panic("Failed to access NumPy array API capsule: " + take_error_rendering());
    }
}

// The borrow registry; panics when it cannot be obtained.
const borrow::SharedApi& registry_or_panic(const numpy::Api& api) {
    try {
        return borrow::registry(api);
    } catch (const PythonErrorSet&) {
        panic("Interal borrow checking API error: " + take_error_rendering());  // the misspelling is part of the interface
    }
}

// Whether obj is a one-dimensional ndarray of native float64.
bool is_sample_vector(const numpy::Api& api, PyObject* obj) {
    if (!numpy::is_array(api, obj)) return false;
    if (numpy::as_array(obj)->nd != 1) return false;
    return numpy::has_float64_elements(api, obj);
}

}  // namespace

SampleArray SampleArray::accept(PyObject* obj) {
    const numpy::Api& api = numpy_or_panic();
    if (!is_sample_vector(api, obj)) raise_cast_error(obj, "ndarray");
    PyRef array = PyRef::borrow(obj);
    const borrow::SharedApi& registry = registry_or_panic(api);
    const int code = registry.acquire(registry.flags, array.get());
    if (code == borrow::kConflict) panic(unwrap_failure("AlreadyBorrowed"));
    if (code != borrow::kGranted) {
        panic("Unexpected return code " + std::to_string(code) + " from borrow checking API");
    }
    const numpy::ArrayObject* fields = numpy::as_array(array.get());
    return SampleArray(std::move(array), fields->data, static_cast<std::size_t>(fields->dimensions[0]),
                       static_cast<std::ptrdiff_t>(fields->strides[0]));
}

SampleArray::~SampleArray() {
    if (!array_) return;  // moved from
    // A held array was registered, so the registry has been obtained.
    if (const borrow::SharedApi* registry = borrow::loaded_registry()) registry->release(registry->flags, array_.get());
}

}  // namespace pyvexa
