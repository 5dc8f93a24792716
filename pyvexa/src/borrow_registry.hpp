// The process-wide registry of arrays being read or written by extension
// modules, shared through the `_RUST_NUMPY_BORROW_CHECKING_API` capsule on
// NumPy's multiarray module: the first module that needs it installs it, the
// others use that one.
#pragma once

#include <cstdint>

#include "glue.hpp"
#include "numpy_api.hpp"

namespace pyvexa::borrow {

inline constexpr const char* kCapsuleName = "_RUST_NUMPY_BORROW_CHECKING_API";

// Return codes of the acquire functions.
inline constexpr int kGranted = 0;
inline constexpr int kConflict = -1;
inline constexpr int kNotWriteable = -2;

// The capsule's record; its C layout is shared with the other modules.
struct SharedApi {
    std::uint64_t version;
    void* flags;  // the table, passed back to each function
    int (*acquire)(void* flags, PyObject* array);
    int (*acquire_mut)(void* flags, PyObject* array);
    void (*release)(void* flags, PyObject* array);
    void (*release_mut)(void* flags, PyObject* array);
};

// The registry of the process, read from the multiarray module or installed
// there on first use; throws PythonErrorSet (error set) on failure, leaving
// it to be tried again by the next call.
const SharedApi& registry(const numpy::Api& api);

// The registry if it has been obtained already, else nullptr; never calls Python.
const SharedApi* loaded_registry() noexcept;

}  // namespace pyvexa::borrow
