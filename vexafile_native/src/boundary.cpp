#include "boundary.hpp"

#include <cerrno>
#include <exception>

#include "protocols/byte_input.hpp"

namespace vexafile_native::detail {

void translate_exception() noexcept {
    try {
        throw;
    } catch (const protocols::postcard::InputError& e) {
        errno = e.error();
        PyErr_SetFromErrno(PyExc_OSError);
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace vexafile_native::detail
