#include "text_output.hpp"

#include "guard.hpp"
#include "pyref.hpp"

namespace vexafile_native {

void PythonWriteSink::write(std::string_view chunk) {
    pending_.append(chunk);
    if (pending_.size() >= kBlock) flush();
}

void PythonWriteSink::flush() {
    if (pending_.empty()) return;
    pyvexa::PyRef block = pyvexa::PyRef::steal(
        checked(PyBytes_FromStringAndSize(pending_.data(), static_cast<Py_ssize_t>(pending_.size()))));
    pending_.clear();
    pyvexa::PyRef result = pyvexa::PyRef::steal(checked(PyObject_CallOneArg(write_, block.get())));
}

}  // namespace vexafile_native
