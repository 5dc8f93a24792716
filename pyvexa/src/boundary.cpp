#include "boundary.hpp"

namespace pyvexa::detail {

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (const Panic& failure) {
        raise_panic(failure.message, failure.location);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what(), std::source_location::current());
    } catch (...) {
        raise_panic("unknown C++ exception", std::source_location::current());
    }
}

}  // namespace pyvexa::detail
