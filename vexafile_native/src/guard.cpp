#include "guard.hpp"

#include <cerrno>
#include <exception>
#include <new>

#include "protocols/byte_input.hpp"

namespace vexafile_native::detail {

void set_error_for_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const protocols::postcard::InputError& e) {
        errno = e.error();
        PyErr_SetFromErrno(PyExc_OSError);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace vexafile_native::detail
