#include "module_state.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

#include "errors.hpp"

namespace pyvexa::state {

namespace detail {
Classes g_classes;
}

namespace {

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

// Stores `created` in `slot` unless the slot was filled meanwhile (making it
// may have run Python code, and so another thread); the first one stays.
template <class T>
T* keep_first(T*& slot, PyRef created) noexcept {
    if (slot == nullptr) slot = reinterpret_cast<T*>(created.release());
    return slot;
}

}  // namespace

void claim_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_python_error();
    std::int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "pyvexa does not support sub-interpreters: it can only be imported in the interpreter "
              "that first loaded it");
    }
}

PyObject* kept_module() noexcept { return g_module; }

PyRef keep_module(PyRef module) noexcept { return PyRef::borrow(keep_first(g_module, std::move(module))); }

PyTypeObject* ensure_class(PyTypeObject* Classes::*slot, PyRef (*create)()) {
    PyTypeObject*& kept = detail::g_classes.*slot;
    if (kept != nullptr) return kept;
    return keep_first(kept, create());
}

}  // namespace pyvexa::state
